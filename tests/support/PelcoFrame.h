#pragma once

// Pelco-D frames as an operator sends them, from the tools' one builder
// (common/PelcoFrames.h), as the bytes a socket carries.
#include "common/PelcoFrames.h"

#include <cstdint>
#include <string>

namespace korvel {

// A motion frame: command 2 (Pelco::PanLeft, ...) with its two speeds.
std::string PelcoFrame(std::uint8_t address, std::uint8_t command2, std::uint8_t panSpeed,
                       std::uint8_t tiltSpeed = 0);

// A "pan right" frame whose two speed bytes carry a number (0 to 65535), so
// that each frame can be told apart where it arrives (Camsim::Numbers).
std::string NumberedFrame(unsigned pelcoAddress, unsigned number);

} // namespace korvel
