#pragma once

// Constants of the NVR wire protocol (docs/nvr-protocol.md), shared by the
// client library and the NVR simulator.

#include <cstddef>
#include <cstdint>

namespace tlapi {

constexpr uint32_t ProtocolMagic = 0x544C4B56; // "TLKV"
constexpr uint16_t ProtocolVersion = 1;

// A frame is a 32-bit length followed by that many body bytes; the body
// starts with the 7-byte header (type, code, tag).
constexpr std::size_t FrameLengthSize = 4;
constexpr std::size_t FrameHeaderSize = 7;
constexpr std::size_t MaxFrameBody = 65536;

// Longest text either side accepts inside a frame.
constexpr std::size_t MaxTextLength = 4096;
// Longest name, GUID, font or address the NVR stores (the client buffers
// hold 256 bytes with the terminating NUL).
constexpr std::size_t MaxStoredText = 255;
constexpr std::size_t MaxLinkName = 63;
constexpr std::size_t MaxAssociationEntries = 256;

enum class FrameType : uint8_t
{
    Request = 1,
    Reply = 2,
    Event = 3
};

enum class Operation : uint16_t
{
    Hello = 0x01,
    Login = 0x02,
    Discover = 0x03,
    CameraCount = 0x10,
    CameraId = 0x11,
    CameraAddress = 0x12,
    CameraName = 0x13,
    TriggerCount = 0x20,
    TriggerId = 0x21,
    TriggerGuid = 0x22,
    TriggerCreate = 0x23,
    AssociationGet = 0x30,
    AssociationUpdate = 0x31,
    LinkCount = 0x40,
    LinkId = 0x41,
    LinkGet = 0x42,
    LinkUpdate = 0x43
};

// Reply status; every value but Ok refuses the request and carries no results.
enum class Status : uint32_t
{
    Ok = 0,
    Malformed = 1,
    NotLoggedIn = 2,
    NotFound = 3,
    InvalidArgument = 4,
    UnknownOperation = 5,
    UnsupportedVersion = 6
};

bool IsOperation(uint16_t code);
// Printable name of an operation, for logs; "unknown" for other codes.
const char* OperationName(uint16_t operation);
const char* StatusName(uint32_t status);

} // namespace tlapi
