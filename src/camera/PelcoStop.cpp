#include "camera/PelcoStop.h"

#include <cstdint>

namespace korvel {

namespace {

constexpr std::size_t PelcoDLength = 7;
constexpr std::size_t PelcoPLength = 8;

bool Zero(const std::uint8_t* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

// Sync, address, four zero bytes (two command and two data bytes), and the
// sum of the five bytes after the sync: the address itself.
bool IsPelcoDStop(const std::uint8_t* frame)
{
    return frame[0] == 0xFF && Zero(frame + 2, 4) && frame[6] == frame[1];
}

// STX, address, four zero data bytes, ETX, and the exclusive or of the seven
// bytes before it.
bool IsPelcoPStop(const std::uint8_t* frame)
{
    return frame[0] == 0xA0 && Zero(frame + 2, 4) && frame[6] == 0xAF &&
           frame[7] == (0xA0 ^ frame[1] ^ 0xAF);
}

} // namespace

bool EndsInStopFrame(const char* bytes, std::size_t length)
{
    const auto* end = reinterpret_cast<const std::uint8_t*>(bytes) + length;
    return (length >= PelcoDLength && IsPelcoDStop(end - PelcoDLength)) ||
           (length >= PelcoPLength && IsPelcoPStop(end - PelcoPLength));
}

} // namespace korvel
