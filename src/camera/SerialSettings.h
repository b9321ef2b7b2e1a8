#pragma once

#include <boost/asio/serial_port_base.hpp>

#include <cstdint>

namespace korvel {

// The line settings of a serial camera as configured, and their conversion
// to port options.
struct SerialSettings
{
    std::uint32_t baudRate = 2400;
    std::uint32_t dataBits = 8;
    std::uint32_t stopBits = 1;
    char parity = 'N'; // E, O or N as configured (upper case)
};

// Throws std::out_of_range("invalid character_size value") unless dataBits
// is 5, 6, 7 or 8.
boost::asio::serial_port_base::character_size CharacterSizeOption(std::uint32_t dataBits);

// 1 or 2 stop bits; false (and one stop bit) for any other value.
bool StopBitsOption(std::uint32_t stopBits, boost::asio::serial_port_base::stop_bits& option);

// 'E' even, 'O' odd, 'N' none; false (and no parity) for any other letter.
bool ParityOption(char parity, boost::asio::serial_port_base::parity& option);

} // namespace korvel
