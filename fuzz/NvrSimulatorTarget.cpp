// nvrsim's end of the NVR protocol: what a client sends split into frames,
// each request answered from a small simulated NVR, every answer encoded as
// the simulator sends it and read back by the library's decoder.
//
// Input: byte 0: bit 0 starts the session greeted, bit 1 logged in, the
// other bits seed the sizes of the pieces the stream arrives in (1 to 64
// bytes); the rest is what the client sent. Rules: every reply the
// simulator encodes decodes as one reply frame with the request's code and
// tag, and whatever it reports as done reads back whole with the library's
// readers.
#include "Check.h"

#include "NvrModel.h"
#include "RequestHandler.h"

#include "tlapi/Codec.h"
#include "tlapi/Records.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

using namespace tlapi;

namespace {

void Populate(nvrsim::NvrModel& model)
{
    model.SetUser("korvel", "pw");
    model.SetCamera(1, "10.0.0.1", "Gate West");
    model.SetCamera(7, "", "Yard");
    uint32_t trigger = 0;
    model.CreateTrigger("Korvel Control", "KORVEL_1", trigger);
    uint32_t link = 0;
    model.CreateLink(trigger, link);
    AssociationData association;
    association.cameraId = 1;
    association.name = "Gate West";
    association.entries.push_back(AssociationEntryData{1, 8, trigger, 0, 0, 0, 1});
    model.StoreAssociation(association);
}

// The results of a reply the simulator reported as done, as the library reads them.
void ExpectReadable(uint16_t operation, PayloadReader& results)
{
    switch (static_cast<Operation>(operation)) {
    case Operation::Hello:
        results.U32();
        results.U16();
        results.Text();
        break;
    case Operation::Discover:
        results.Text();
        results.U32();
        break;
    case Operation::CameraAddress:
    case Operation::CameraName:
    case Operation::TriggerGuid:
        FUZZ_CHECK(results.Text().size() <= MaxStoredText);
        break;
    case Operation::AssociationGet: {
        AssociationData association;
        FUZZ_CHECK(ReadAssociation(results, association));
        break;
    }
    case Operation::LinkGet: {
        EventLinkData link;
        FUZZ_CHECK(ReadEventLink(results, link));
        break;
    }
    case Operation::AssociationUpdate:
    case Operation::LinkUpdate:
        break;
    default:
        results.U32();
        break;
    }
    FUZZ_CHECK(results.Ok());
}

// Encodes the reply and events as the simulator's session does and reads
// them back as the library would.
void CheckAnswer(const Frame& request, const nvrsim::Outcome& outcome)
{
    FrameDecoder client;
    if (outcome.sendReply) {
        PayloadWriter payload;
        payload.U32(static_cast<uint32_t>(outcome.status));
        Bytes body = payload.Data();
        body.insert(body.end(), outcome.results.begin(), outcome.results.end());
        const Bytes frame = EncodeFrame(FrameType::Reply, request.code, request.tag, body);
        client.Append(frame.data(), frame.size());
    }
    for (const nvrsim::PendingEvent& event : outcome.events) {
        PayloadWriter payload;
        WriteEvent(payload, event.data);
        const Bytes frame = EncodeFrame(FrameType::Event, event.type, 1, payload.Data());
        client.Append(frame.data(), frame.size());
    }

    Frame frame;
    std::string error;
    if (outcome.sendReply) {
        FUZZ_CHECK(client.Next(frame, error) == FrameDecoder::Result::Frame);
        FUZZ_CHECK(frame.type == FrameType::Reply && frame.code == request.code &&
                   frame.tag == request.tag);
        PayloadReader reader(frame.payload);
        FUZZ_CHECK(reader.U32() == static_cast<uint32_t>(outcome.status) && reader.Ok());
        if (outcome.status == Status::Ok) {
            const Bytes results(frame.payload.begin() + 4, frame.payload.end());
            PayloadReader resultReader(results);
            ExpectReadable(request.code, resultReader);
        } else {
            FUZZ_CHECK(frame.payload.size() == 4);
        }
    }
    for (const nvrsim::PendingEvent& event : outcome.events) {
        FUZZ_CHECK(client.Next(frame, error) == FrameDecoder::Result::Frame);
        FUZZ_CHECK(frame.type == FrameType::Event && frame.code == event.type);
        PayloadReader reader(frame.payload);
        EventData data;
        FUZZ_CHECK(ReadEvent(reader, data) && data.code == event.data.code &&
                   data.objectId == event.data.objectId);
    }
    FUZZ_CHECK(client.Next(frame, error) == FrameDecoder::Result::NeedMore);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    nvrsim::NvrModel model;
    Populate(model);
    nvrsim::RequestHandler handler(model);
    nvrsim::SessionState session;
    session.greeted = (data[0] & 1) != 0;
    session.loggedIn = (data[0] & 2) != 0;
    session.user = session.loggedIn ? "korvel" : "";

    FrameDecoder decoder;
    unsigned seed = data[0] >> 2;
    bool ended = false;
    for (std::size_t at = 1; at < size && !ended;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % 64, size - at);
        decoder.Append(data + at, piece);
        at += piece;
        Frame request;
        std::string error;
        for (;;) {
            const FrameDecoder::Result result = decoder.Next(request, error);
            if (result == FrameDecoder::Result::NeedMore)
                break;
            // A bad frame, or anything but a request, ends the session.
            if (result == FrameDecoder::Result::Error || request.type != FrameType::Request) {
                ended = true;
                break;
            }
            const nvrsim::Outcome outcome = handler.Handle(session, request);
            CheckAnswer(request, outcome);
            nvrsim::DumpText(outcome.note);
            if (outcome.close) {
                ended = true;
                break;
            }
        }
    }
    std::ostringstream dump;
    model.Dump(dump);
    return 0;
}
