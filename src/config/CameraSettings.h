#pragma once

#include "config/SerialSettings.h"

#include <cstdint>
#include <string>

namespace korvel {

// One configured track camera as the configuration gives it.
struct CameraSettings
{
    // Key of the camera table; a camera without one gets no transport and is not filed.
    std::string address;
    // A TCP port when it starts with a digit, else the serial device's name.
    std::string port = "1000";
    std::uint32_t pelcoNumber = 1;
    SerialSettings serial; // serial cameras only

    bool IsNetworkCamera() const { return !port.empty() && port[0] >= '0' && port[0] <= '9'; }

    bool operator==(const CameraSettings&) const = default;
};

} // namespace korvel
