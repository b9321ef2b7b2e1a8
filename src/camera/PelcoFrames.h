#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel {

// The only frames the service composes itself, for a camera whose protocol
// it knows: stop, and go to a preset, each with its checksum. Pelco-D:
// FF a 00 cmd2 00 data2 sum, sum = the bytes after FF mod 256; Pelco-P:
// A0 a 00 cmd2 00 data2 AF xor, xor of the seven bytes before it.
struct PelcoFrame
{
    std::array<char, 8> bytes{};
    std::size_t length = 0;
};

enum class PelcoProtocol
{
    D,
    P,
};

PelcoFrame PelcoStopFrame(PelcoProtocol protocol, std::uint8_t address);
PelcoFrame PelcoGoToPresetFrame(PelcoProtocol protocol, std::uint8_t address,
                                std::uint8_t preset);

} // namespace korvel
