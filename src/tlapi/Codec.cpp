#include "tlapi/Codec.h"

#include <cstring>

namespace tlapi {

const char* OperationName(uint16_t operation)
{
    switch (static_cast<Operation>(operation)) {
    case Operation::Hello:
        return "HELLO";
    case Operation::Login:
        return "LOGIN";
    case Operation::Discover:
        return "DISCOVER";
    case Operation::CameraCount:
        return "CAMERA_COUNT";
    case Operation::CameraId:
        return "CAMERA_ID";
    case Operation::CameraAddress:
        return "CAMERA_ADDRESS";
    case Operation::CameraName:
        return "CAMERA_NAME";
    case Operation::TriggerCount:
        return "TRIGGER_COUNT";
    case Operation::TriggerId:
        return "TRIGGER_ID";
    case Operation::TriggerGuid:
        return "TRIGGER_GUID";
    case Operation::TriggerCreate:
        return "TRIGGER_CREATE";
    case Operation::AssociationGet:
        return "ASSOCIATION_GET";
    case Operation::AssociationUpdate:
        return "ASSOCIATION_UPDATE";
    case Operation::LinkCount:
        return "LINK_COUNT";
    case Operation::LinkId:
        return "LINK_ID";
    case Operation::LinkGet:
        return "LINK_GET";
    case Operation::LinkUpdate:
        return "LINK_UPDATE";
    }
    return "unknown";
}

bool IsOperation(uint16_t code)
{
    return std::strcmp(OperationName(code), "unknown") != 0;
}

const char* StatusName(uint32_t status)
{
    switch (static_cast<Status>(status)) {
    case Status::Ok:
        return "ok";
    case Status::Malformed:
        return "malformed request";
    case Status::NotLoggedIn:
        return "not logged in";
    case Status::NotFound:
        return "not found";
    case Status::InvalidArgument:
        return "invalid argument";
    case Status::UnknownOperation:
        return "unknown operation";
    case Status::UnsupportedVersion:
        return "unsupported protocol version";
    }
    return "unknown status";
}

PayloadWriter& PayloadWriter::U8(uint8_t value)
{
    bytes.push_back(value);
    return *this;
}

PayloadWriter& PayloadWriter::U16(uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value));
    return *this;
}

PayloadWriter& PayloadWriter::U32(uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    return *this;
}

PayloadWriter& PayloadWriter::Text(const std::string& text)
{
    U32(static_cast<uint32_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
}

bool PayloadReader::Take(std::size_t count)
{
    if (!ok || left < count) {
        ok = false;
        return false;
    }
    return true;
}

uint8_t PayloadReader::U8()
{
    if (!Take(1))
        return 0;
    const uint8_t value = data[0];
    data += 1;
    left -= 1;
    return value;
}

uint16_t PayloadReader::U16()
{
    if (!Take(2))
        return 0;
    const uint16_t value = static_cast<uint16_t>((data[0] << 8) | data[1]);
    data += 2;
    left -= 2;
    return value;
}

uint32_t PayloadReader::U32()
{
    if (!Take(4))
        return 0;
    const uint32_t value = (uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) |
                           (uint32_t(data[2]) << 8) | uint32_t(data[3]);
    data += 4;
    left -= 4;
    return value;
}

std::string PayloadReader::Text(std::size_t maxLength)
{
    const uint32_t length = U32();
    if (!ok || length > maxLength || !Take(length)) {
        ok = false;
        return std::string();
    }
    std::string text(reinterpret_cast<const char*>(data), length);
    data += length;
    left -= length;
    return text;
}

Bytes EncodeFrame(FrameType type, uint16_t code, uint32_t tag, const Bytes& payload)
{
    PayloadWriter header;
    header.U32(static_cast<uint32_t>(FrameHeaderSize + payload.size()))
        .U8(static_cast<uint8_t>(type))
        .U16(code)
        .U32(tag);
    Bytes frame = header.Data();
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

void FrameDecoder::Append(const uint8_t* data, std::size_t size)
{
    // Drop what has been consumed before growing, so the buffer stays bounded.
    if (start > 0 && start == buffer.size()) {
        buffer.clear();
        start = 0;
    } else if (start > MaxFrameBody) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
        start = 0;
    }
    buffer.insert(buffer.end(), data, data + size);
}

FrameDecoder::Result FrameDecoder::Next(Frame& frame, std::string& error)
{
    if (Buffered() < FrameLengthSize)
        return Result::NeedMore;
    PayloadReader lengthReader(buffer.data() + start, FrameLengthSize);
    const uint32_t length = lengthReader.U32();
    if (length < FrameHeaderSize || length > MaxFrameBody) {
        error = "frame length " + std::to_string(length) + " outside " +
                std::to_string(FrameHeaderSize) + ".." + std::to_string(MaxFrameBody);
        return Result::Error;
    }
    if (Buffered() < FrameLengthSize + length)
        return Result::NeedMore;

    const uint8_t* body = buffer.data() + start + FrameLengthSize;
    PayloadReader header(body, FrameHeaderSize);
    const uint8_t type = header.U8();
    if (type < static_cast<uint8_t>(FrameType::Request) ||
        type > static_cast<uint8_t>(FrameType::Event)) {
        error = "unknown frame type " + std::to_string(type);
        return Result::Error;
    }
    frame.type = static_cast<FrameType>(type);
    frame.code = header.U16();
    frame.tag = header.U32();
    frame.payload.assign(body + FrameHeaderSize, body + length);
    start += FrameLengthSize + length;
    return Result::Frame;
}

void FrameDecoder::Reset()
{
    buffer.clear();
    start = 0;
}

} // namespace tlapi
