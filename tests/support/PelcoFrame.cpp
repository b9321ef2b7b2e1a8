#include "support/PelcoFrame.h"

namespace korvel {

std::string PelcoFrame(std::uint8_t address, std::uint8_t command2, std::uint8_t panSpeed,
                       std::uint8_t tiltSpeed)
{
    const Bytes frame = Pelco::BuildD(address, 0, command2, panSpeed, tiltSpeed);
    return std::string(frame.begin(), frame.end());
}

std::string NumberedFrame(unsigned pelcoAddress, unsigned number)
{
    return PelcoFrame(static_cast<std::uint8_t>(pelcoAddress), Pelco::PanRight,
                      static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number));
}

} // namespace korvel
