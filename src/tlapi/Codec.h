#pragma once

// Encoding and decoding of protocol frames and their payloads. No I/O here:
// bytes come in through FrameDecoder::Append and go out as built frames.

#include "tlapi/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tlapi {

using Bytes = std::vector<uint8_t>;

// Appends big-endian integers and length-prefixed texts.
class PayloadWriter
{
public:
    PayloadWriter& U8(uint8_t value);
    PayloadWriter& U16(uint16_t value);
    PayloadWriter& U32(uint32_t value);
    PayloadWriter& Text(const std::string& text);
    const Bytes& Data() const { return bytes; }

private:
    Bytes bytes;
};

// Reads what PayloadWriter wrote. A read past the end, or a text longer than
// its limit, marks the reader failed; later reads then yield zeros.
class PayloadReader
{
public:
    PayloadReader(const uint8_t* data, std::size_t size) : data(data), left(size) {}
    explicit PayloadReader(const Bytes& bytes) : PayloadReader(bytes.data(), bytes.size()) {}

    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    std::string Text(std::size_t maxLength = MaxTextLength);
    bool Ok() const { return ok; }

private:
    bool Take(std::size_t count);

    const uint8_t* data;
    std::size_t left;
    bool ok = true;
};

struct Frame
{
    FrameType type = FrameType::Request;
    uint16_t code = 0; // operation, or event type for an event
    uint32_t tag = 0;  // request tag echoed by the reply; event sequence number
    Bytes payload;
};

// The whole frame as sent: length, header, payload.
Bytes EncodeFrame(FrameType type, uint16_t code, uint32_t tag, const Bytes& payload);

// Splits a byte stream into frames. Holds at most one incomplete frame, so a
// peer cannot make it grow beyond the frame limit plus what was appended.
class FrameDecoder
{
public:
    enum class Result
    {
        Frame,
        NeedMore,
        Error
    };

    void Append(const uint8_t* data, std::size_t size);
    // On Error, error says why; the stream cannot be resynchronised.
    Result Next(Frame& frame, std::string& error);
    void Reset();
    std::size_t Buffered() const { return buffer.size() - start; }

private:
    Bytes buffer;
    std::size_t start = 0;
};

} // namespace tlapi
