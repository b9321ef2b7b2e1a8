#include "common/PelcoFrames.h"

namespace korvel {

namespace Pelco {

std::uint8_t DChecksum(const std::uint8_t* frame)
{
    unsigned sum = 0;
    for (std::size_t i = 1; i < DLength - 1; ++i)
        sum += frame[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::uint8_t PChecksum(const std::uint8_t* frame)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < PLength - 1; ++i)
        sum ^= frame[i];
    return sum;
}

Bytes BuildD(std::uint8_t address, std::uint8_t command1, std::uint8_t command2, std::uint8_t data1,
             std::uint8_t data2)
{
    Bytes frame{DSync, address, command1, command2, data1, data2, 0};
    frame[6] = DChecksum(frame.data());
    return frame;
}

Bytes BuildP(int camera, std::uint8_t data1, std::uint8_t data2, std::uint8_t data3,
             std::uint8_t data4)
{
    Bytes frame{PStart, static_cast<std::uint8_t>(camera - 1), data1, data2, data3, data4, PEnd, 0};
    frame[7] = PChecksum(frame.data());
    return frame;
}

} // namespace Pelco

} // namespace korvel
