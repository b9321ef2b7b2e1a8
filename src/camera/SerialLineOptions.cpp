#include "camera/SerialLineOptions.h"

namespace korvel {

using boost::asio::serial_port_base;

serial_port_base::character_size CharacterSizeOption(std::uint8_t dataBits)
{
    return serial_port_base::character_size(dataBits);
}

serial_port_base::stop_bits StopBitsOption(SerialSettings::StopBits stopBits)
{
    switch (stopBits) {
    case SerialSettings::StopBits::One:
        break;
    case SerialSettings::StopBits::Two:
        return serial_port_base::stop_bits(serial_port_base::stop_bits::two);
    }
    return serial_port_base::stop_bits(serial_port_base::stop_bits::one);
}

serial_port_base::parity ParityOption(SerialSettings::Parity parity)
{
    switch (parity) {
    case SerialSettings::Parity::None:
        break;
    case SerialSettings::Parity::Even:
        return serial_port_base::parity(serial_port_base::parity::even);
    case SerialSettings::Parity::Odd:
        return serial_port_base::parity(serial_port_base::parity::odd);
    }
    return serial_port_base::parity(serial_port_base::parity::none);
}

} // namespace korvel
