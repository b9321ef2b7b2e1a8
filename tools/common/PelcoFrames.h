#pragma once

#include "common/HexText.h"

#include <cstdint>

namespace korvel {

// The two Pelco frame layouts the track cameras understand.
//
// Pelco-D, 7 bytes: FF, address, command 1, command 2, data 1, data 2,
// checksum = sum of bytes 1 to 5 modulo 256. The address is the camera number.
//
// Pelco-P, 8 bytes: A0, address, data 1 to data 4, AF, checksum = XOR of
// bytes 0 to 6. The address is the camera number minus one.
namespace Pelco {

constexpr std::uint8_t DSync = 0xFF;
constexpr std::size_t DLength = 7;

constexpr std::uint8_t PStart = 0xA0;
constexpr std::uint8_t PEnd = 0xAF;
constexpr std::size_t PLength = 8;

// Bits of Pelco-D command 2 and Pelco-P data 2 (the same in both).
constexpr std::uint8_t PanRight = 0x02;
constexpr std::uint8_t PanLeft = 0x04;
constexpr std::uint8_t TiltUp = 0x08;
constexpr std::uint8_t TiltDown = 0x10;
constexpr std::uint8_t ZoomTele = 0x20;
constexpr std::uint8_t ZoomWide = 0x40;
// Set in command 2 (data 2): an extended command, whose code is the whole byte.
constexpr std::uint8_t Extended = 0x01;

// Extended command codes.
constexpr std::uint8_t SetPreset = 0x03;
constexpr std::uint8_t ClearPreset = 0x05;
constexpr std::uint8_t GoToPreset = 0x07;

// Pan and tilt speeds run from 0 to 0x3F; pan speed 0xFF is "turbo".
constexpr std::uint8_t MaxSpeed = 0x3F;
constexpr std::uint8_t TurboSpeed = 0xFF;

std::uint8_t DChecksum(const std::uint8_t* frame);
std::uint8_t PChecksum(const std::uint8_t* frame);

Bytes BuildD(std::uint8_t address, std::uint8_t command1, std::uint8_t command2, std::uint8_t data1,
             std::uint8_t data2);
// Takes the camera number (1 to 256), not the address byte.
Bytes BuildP(int camera, std::uint8_t data1, std::uint8_t data2, std::uint8_t data3,
             std::uint8_t data4);

} // namespace Pelco

} // namespace korvel
