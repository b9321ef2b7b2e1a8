#pragma once

#include "common/PelcoDecoder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

// The meaning of one well-formed Pelco frame, the same for both protocols.
struct PelcoCommand
{
    PelcoProtocol protocol = PelcoProtocol::D;
    int camera = 0; // Pelco-D: the address byte; Pelco-P: the address byte + 1

    // An extended command (preset and auxiliary handling) instead of motion.
    bool extended = false;
    std::uint8_t code = 0;     // extended: command 2 (data 2)
    std::uint8_t argument = 0; // extended: data 2 (data 4), the preset number

    bool panLeft = false, panRight = false;
    bool tiltUp = false, tiltDown = false;
    bool zoomIn = false, zoomOut = false;
    bool focusNear = false, focusFar = false;
    bool irisOpen = false, irisClose = false;
    std::uint8_t panSpeed = 0;
    std::uint8_t tiltSpeed = 0;
    // Other bits of the first command byte, already in words.
    std::vector<std::string> others;
};

// Reads a frame the decoder reported as good (7 bytes of Pelco-D, 8 of Pelco-P).
PelcoCommand InterpretPelco(PelcoProtocol protocol, const Bytes& frame);

// "pan left at speed 20, zoom in", "go to preset 4", "stop".
std::string DescribePelco(const PelcoCommand& command);

// "Pelco-D" or "Pelco-P".
const char* PelcoName(PelcoProtocol protocol);

} // namespace korvel
