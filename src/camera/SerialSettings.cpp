#include "camera/SerialSettings.h"

#include <stdexcept>

namespace korvel {

using boost::asio::serial_port_base;

serial_port_base::character_size CharacterSizeOption(std::uint32_t dataBits)
{
    if (dataBits < 5 || dataBits > 8)
        throw std::out_of_range("invalid character_size value");
    return serial_port_base::character_size(dataBits);
}

bool StopBitsOption(std::uint32_t stopBits, serial_port_base::stop_bits& option)
{
    switch (stopBits) {
    case 1:
        option = serial_port_base::stop_bits(serial_port_base::stop_bits::one);
        return true;
    case 2:
        option = serial_port_base::stop_bits(serial_port_base::stop_bits::two);
        return true;
    default:
        option = serial_port_base::stop_bits(serial_port_base::stop_bits::one);
        return false;
    }
}

bool ParityOption(char parity, serial_port_base::parity& option)
{
    switch (parity) {
    case 'E':
        option = serial_port_base::parity(serial_port_base::parity::even);
        return true;
    case 'O':
        option = serial_port_base::parity(serial_port_base::parity::odd);
        return true;
    case 'N':
        option = serial_port_base::parity(serial_port_base::parity::none);
        return true;
    default:
        option = serial_port_base::parity(serial_port_base::parity::none);
        return false;
    }
}

} // namespace korvel
