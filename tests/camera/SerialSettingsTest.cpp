// The serial line's settings, already checked by the loader, as the options
// the line is opened with. A pseudo-terminal always reports 8 data bits and no
// parity, so the character size and the parity mapping are checked on the
// options themselves (SerialCameraTest.cpp opens a real one). Which values
// are valid is the loader's to say: ConfigurationLoaderTest.cpp.
#include "camera/SerialLineOptions.h"

#include <gtest/gtest.h>

#include <termios.h>

namespace korvel::serial_settings_test {

TEST(SerialSettings, CheckedSettingsBecomeLineOptions)
{
    using boost::asio::serial_port_base;
    using Parity = SerialSettings::Parity;
    using StopBits = SerialSettings::StopBits;
    const struct
    {
        std::uint8_t dataBits;
        tcflag_t size;
    } sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
    for (const auto& c : sizes) {
        termios line{};
        boost::system::error_code error;
        CharacterSizeOption(c.dataBits).store(line, error);
        EXPECT_EQ(line.c_cflag & CSIZE, c.size) << int{c.dataBits};
    }

    const struct
    {
        Parity parity;
        tcflag_t bits; // PARENB | PARODD
    } parities[] = {{Parity::Even, PARENB}, {Parity::Odd, PARENB | PARODD}, {Parity::None, 0}};
    for (const auto& c : parities) {
        termios line{};
        line.c_cflag = PARENB | PARODD;
        boost::system::error_code error;
        ParityOption(c.parity).store(line, error);
        EXPECT_EQ(line.c_cflag & (PARENB | PARODD), c.bits) << static_cast<int>(c.parity);
    }

    const struct
    {
        StopBits stopBits;
        tcflag_t bits;
    } stops[] = {{StopBits::One, 0}, {StopBits::Two, CSTOPB}};
    for (const auto& c : stops) {
        termios line{};
        line.c_cflag = CSTOPB;
        boost::system::error_code error;
        StopBitsOption(c.stopBits).store(line, error);
        EXPECT_EQ(line.c_cflag & CSTOPB, c.bits) << static_cast<int>(c.stopBits);
    }
}

} // namespace korvel::serial_settings_test
