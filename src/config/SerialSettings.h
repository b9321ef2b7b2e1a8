#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// The line settings of a serial camera, as the loader leaves them: checked,
// with what a serial line cannot take replaced by the default. The loader's
// words for a replaced value wait here for the line's set-up, which says them
// at the step that applies that setting, once the device has opened and
// taken the settings before it: a device that is missing, or that refuses an
// earlier setting, hears nothing of a later one.
struct SerialSettings
{
    enum class StopBits
    {
        One,
        Two,
    };
    enum class Parity
    {
        None,
        Even,
        Odd,
    };

    std::uint32_t baudRate = 2400;
    std::uint8_t dataBits = 8; // 5 to 8
    StopBits stopBits = StopBits::One;
    Parity parity = Parity::None;

    // Set for a DataBits outside 5 to 8, which no line takes: the run cannot
    // go on once the device has opened and taken the speed, and ends with
    // this text. `dataBits` keeps its default.
    std::string dataBitsFailure;
    // Logged before the stop bits, and the parity, are applied: the
    // configured value was replaced by the default.
    std::string stopBitsNotice;
    std::string parityNotice;

    bool operator==(const SerialSettings&) const = default;
};

} // namespace korvel
