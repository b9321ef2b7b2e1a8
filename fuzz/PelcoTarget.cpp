// camsim's view of the line: the Pelco decoder, the reading of each frame in
// words and the simulated camera it moves.
//
// Input: byte 0 seeds the sizes of the pieces the stream arrives in (1 to
// 16 bytes); the rest is the byte stream. Rules: the stream decodes to the
// same frames and rejections whether it arrives whole or in pieces; every
// frame reported good holds its checksum and every rejected one does not.
#include "Check.h"

#include "camsim/SimulatedCamera.h"
#include "common/PelcoCommand.h"
#include "common/PelcoDecoder.h"
#include "common/PelcoFrames.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

namespace {

struct Decoded
{
    std::vector<PelcoEvent> frames; // Frame and BadChecksum events, in order
    std::size_t noiseBytes = 0;
};

void Collect(const std::vector<PelcoEvent>& events, Decoded& decoded)
{
    for (const PelcoEvent& event : events) {
        if (event.kind == PelcoEvent::Kind::Noise) {
            FUZZ_CHECK(!event.bytes.empty());
            decoded.noiseBytes += event.bytes.size();
        } else {
            decoded.frames.push_back(event);
        }
    }
}

bool ChecksumHolds(const PelcoEvent& event)
{
    const Bytes& b = event.bytes;
    if (event.protocol == PelcoProtocol::D)
        return b.size() == Pelco::DLength && b[0] == Pelco::DSync &&
               Pelco::DChecksum(b.data()) == b[6];
    return b.size() == Pelco::PLength && b[0] == Pelco::PStart && b[6] == Pelco::PEnd &&
           Pelco::PChecksum(b.data()) == b[7];
}

bool SameEvent(const PelcoEvent& a, const PelcoEvent& b)
{
    return a.kind == b.kind && a.protocol == b.protocol && a.bytes == b.bytes;
}

} // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t* stream = data + 1;
    const std::size_t length = size - 1;

    PelcoDecoder whole;
    Decoded wholeDecoded;
    Collect(whole.Feed(stream, length), wholeDecoded);

    PelcoDecoder pieces;
    Decoded piecesDecoded;
    unsigned seed = data[0];
    for (std::size_t at = 0; at < length;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % 16, length - at);
        Collect(pieces.Feed(stream + at, piece), piecesDecoded);
        at += piece;
    }

    FUZZ_CHECK(wholeDecoded.frames.size() == piecesDecoded.frames.size());
    for (std::size_t i = 0; i < wholeDecoded.frames.size(); ++i)
        FUZZ_CHECK(SameEvent(wholeDecoded.frames[i], piecesDecoded.frames[i]));
    FUZZ_CHECK(wholeDecoded.noiseBytes == piecesDecoded.noiseBytes);
    FUZZ_CHECK(whole.Frames() == pieces.Frames());
    FUZZ_CHECK(whole.BadChecksums() == pieces.BadChecksums());
    FUZZ_CHECK(whole.SkippedBytes() == pieces.SkippedBytes());
    FUZZ_CHECK(whole.SkippedBytes() == wholeDecoded.noiseBytes);

    SimulatedCamera camera;
    double now = 0;
    for (const PelcoEvent& event : wholeDecoded.frames) {
        const bool good = event.kind == PelcoEvent::Kind::Frame;
        FUZZ_CHECK(ChecksumHolds(event) == good);
        HexBytes(event.bytes);
        if (!good)
            continue;
        const PelcoCommand command = InterpretPelco(event.protocol, event.bytes);
        FUZZ_CHECK(!DescribePelco(command).empty());
        camera.AdvanceTo(now += 0.25);
        camera.Apply(command);
        const SimulatedCamera::Position& position = camera.GetPosition();
        FUZZ_CHECK(position.pan >= 0 && position.pan < 360);
        FUZZ_CHECK(position.tilt >= -90 && position.tilt <= 90);
        FUZZ_CHECK(position.zoom >= 1 && position.zoom <= 30);
        camera.PositionText();
    }
    return 0;
}

} // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return korvel::FuzzOne(data, size);
}
