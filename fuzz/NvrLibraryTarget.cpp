// The library's end of the NVR protocol: what an NVR sends (replies and
// events) split into frames and read field by field.
//
// Input: byte 0 seeds the sizes of the pieces the stream arrives in (1 to
// 64 bytes); the rest is what the NVR sent. Rules: the stream splits into the
// same frames, and fails at the same point, whether it arrives whole or in
// pieces; a record that reads whole writes back to the very bytes it was read
// from.
#include "Check.h"

#include "tlapi/Codec.h"
#include "tlapi/Records.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace tlapi;

namespace {

struct Split
{
    std::vector<Frame> frames;
    bool failed = false;
};

void Drain(FrameDecoder& decoder, Split& split)
{
    if (split.failed)
        return;
    Frame frame;
    std::string error;
    for (;;) {
        const FrameDecoder::Result result = decoder.Next(frame, error);
        if (result == FrameDecoder::Result::NeedMore)
            return;
        if (result == FrameDecoder::Result::Error) {
            FUZZ_CHECK(!error.empty());
            split.failed = true;
            return;
        }
        FUZZ_CHECK(frame.payload.size() <= MaxFrameBody - FrameHeaderSize);
        split.frames.push_back(frame);
    }
}

bool SameFrame(const Frame& a, const Frame& b)
{
    return a.type == b.type && a.code == b.code && a.tag == b.tag && a.payload == b.payload;
}

// The bytes a record was read from start the payload.
void ExpectWrittenBack(const PayloadWriter& written, const Bytes& payload)
{
    const Bytes& bytes = written.Data();
    FUZZ_CHECK(bytes.size() <= payload.size());
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), payload.begin()));
}

void ReadEventFrame(const Frame& frame)
{
    PayloadReader reader(frame.payload);
    EventData event;
    if (!ReadEvent(reader, event))
        return;
    PayloadWriter written;
    WriteEvent(written, event);
    ExpectWrittenBack(written, frame.payload);
}

void ReadReplyFrame(const Frame& frame)
{
    PayloadReader reader(frame.payload);
    const uint32_t status = reader.U32();
    if (!reader.Ok() || status != static_cast<uint32_t>(Status::Ok))
        return;
    const Bytes results(frame.payload.begin() + 4, frame.payload.end());
    PayloadReader resultReader(results);
    switch (static_cast<Operation>(frame.code)) {
    case Operation::Hello:
        resultReader.U32();
        resultReader.U16();
        resultReader.Text();
        break;
    case Operation::Discover:
        resultReader.Text();
        resultReader.U32();
        break;
    case Operation::CameraAddress:
    case Operation::CameraName:
    case Operation::TriggerGuid: {
        const std::string text = resultReader.Text();
        if (resultReader.Ok()) {
            FUZZ_CHECK(text.size() <= MaxTextLength);
            PayloadWriter written;
            written.Text(text);
            ExpectWrittenBack(written, results);
        }
        break;
    }
    case Operation::AssociationGet: {
        AssociationData association;
        if (ReadAssociation(resultReader, association)) {
            FUZZ_CHECK(association.entries.size() <= MaxAssociationEntries);
            PayloadWriter written;
            WriteAssociation(written, association);
            ExpectWrittenBack(written, results);
        }
        break;
    }
    case Operation::LinkGet: {
        EventLinkData link;
        if (ReadEventLink(resultReader, link)) {
            PayloadWriter written;
            WriteEventLink(written, link);
            ExpectWrittenBack(written, results);
        }
        break;
    }
    default:
        resultReader.U32();
        break;
    }
    OperationName(frame.code);
    StatusName(status);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t* stream = data + 1;
    const std::size_t length = size - 1;

    FrameDecoder whole;
    Split wholeSplit;
    whole.Append(stream, length);
    Drain(whole, wholeSplit);

    FrameDecoder pieces;
    Split piecesSplit;
    unsigned seed = data[0];
    for (std::size_t at = 0; at < length && !piecesSplit.failed;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % 64, length - at);
        pieces.Append(stream + at, piece);
        Drain(pieces, piecesSplit);
        at += piece;
        // Held back: at most one incomplete frame.
        FUZZ_CHECK(piecesSplit.failed || pieces.Buffered() < FrameLengthSize + MaxFrameBody);
    }

    FUZZ_CHECK(wholeSplit.failed == piecesSplit.failed);
    FUZZ_CHECK(wholeSplit.frames.size() == piecesSplit.frames.size());
    for (std::size_t i = 0; i < wholeSplit.frames.size(); ++i)
        FUZZ_CHECK(SameFrame(wholeSplit.frames[i], piecesSplit.frames[i]));

    for (const Frame& frame : wholeSplit.frames) {
        if (frame.type == FrameType::Event)
            ReadEventFrame(frame);
        else if (frame.type == FrameType::Reply)
            ReadReplyFrame(frame);
        // Re-encoded, a frame is the bytes it came from.
        const Bytes encoded = EncodeFrame(frame.type, frame.code, frame.tag, frame.payload);
        FrameDecoder again;
        again.Append(encoded.data(), encoded.size());
        Split reread;
        Drain(again, reread);
        FUZZ_CHECK(!reread.failed && reread.frames.size() == 1 &&
                   SameFrame(reread.frames.front(), frame));
    }
    return 0;
}
