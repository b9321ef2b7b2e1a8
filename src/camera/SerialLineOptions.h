#pragma once

#include "config/Settings.h"

#include <boost/asio/serial_port_base.hpp>

#include <cstdint>

namespace korvel {

// The serial port's options for line settings the loader has checked.

// dataBits is 5, 6, 7 or 8.
boost::asio::serial_port_base::character_size CharacterSizeOption(std::uint8_t dataBits);
boost::asio::serial_port_base::stop_bits StopBitsOption(SerialSettings::StopBits stopBits);
boost::asio::serial_port_base::parity ParityOption(SerialSettings::Parity parity);

} // namespace korvel
