#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel {

// The frames the operators send: well-formed Pelco-D (FF, address, two
// command bytes, two data bytes, checksum) whose address picks the camera,
// whose command bytes carry the sending session's index in the run and whose
// data bytes carry the frame's sequence number. The service passes them on
// unchanged, so the camera side can tell each frame's origin.
namespace BenchFrame {

constexpr std::size_t Length = 7;
using Bytes = std::array<std::uint8_t, Length>;

struct Tag
{
    std::uint8_t camera = 0;
    std::uint16_t session = 0;
    std::uint16_t sequence = 0;
};

Bytes Build(const Tag& tag);
// False when the bytes do not start with the sync byte or the checksum differs.
bool Read(const std::uint8_t* frame, Tag& tag);

} // namespace BenchFrame

} // namespace korvel
