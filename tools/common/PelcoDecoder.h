#pragma once

#include "common/HexText.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

enum class PelcoProtocol
{
    D,
    P
};

// What the decoder found in the byte stream, in stream order.
struct PelcoEvent
{
    enum class Kind
    {
        Frame,       // a whole frame whose checksum holds
        BadChecksum, // a frame-shaped run of bytes whose checksum does not
        Noise,       // bytes that belong to no frame
    };
    Kind kind;
    PelcoProtocol protocol; // of Frame and BadChecksum
    Bytes bytes;
};

// Finds Pelco-D and Pelco-P frames in a byte stream that arrives in pieces
// of any size. Pure computation: the caller does the reading, so the decoder
// can be driven by a socket, a pseudo-terminal or a fuzzer alike.
//
// Resynchronisation: after a frame fails its checksum, decoding restarts at
// the byte after its first one, so a good frame that begins inside a
// truncated or corrupted one is still found. The bytes of the rejected frame
// are reported once (with it), and a second rejection starting inside it is
// not counted again.
class PelcoDecoder
{
public:
    // Decodes the bytes that follow those of earlier calls. At most one
    // incomplete frame (under 8 bytes) is kept for the next call.
    std::vector<PelcoEvent> Feed(const std::uint8_t* data, std::size_t length);
    std::vector<PelcoEvent> Feed(const Bytes& bytes) { return Feed(bytes.data(), bytes.size()); }

    std::uint64_t Frames() const { return frames; }
    std::uint64_t BadChecksums() const { return badChecksums; }
    std::uint64_t SkippedBytes() const { return skippedBytes; }

private:
    Bytes pending;
    // Bytes still to come of the last rejected frame.
    std::size_t quiet = 0;
    std::uint64_t frames = 0;
    std::uint64_t badChecksums = 0;
    std::uint64_t skippedBytes = 0;
};

} // namespace korvel
