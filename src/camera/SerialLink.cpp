#include "camera/SerialLink.h"

#include "log/LogFile.h"

#include <boost/asio/error.hpp>

namespace korvel {

using boost::asio::serial_port_base;

SerialLink::SerialLink(boost::asio::io_context& io, const std::string& cameraAddress,
                       const std::string& device, const SerialSettings& configured)
    : device(device), settings(configured), port(io),
      machine(LinkStateMachine::Serial(device, false))
{
    const boost::system::error_code error = SetUp(cameraAddress);
    machine = LinkStateMachine::Serial(device, port.is_open());
    if (error) {
        LogFile.BeginLine() << "Error connecting to track camera on serial port " << device << ":"
                            << error.message() << std::endl;
        return;
    }
    LogFile.BeginLine() << "Connecting to analog track camera on serial port " << device
                        << std::endl;
}

boost::system::error_code SerialLink::SetUp(const std::string& cameraAddress)
{
    boost::system::error_code error;
    port.open(device, error);
    if (error)
        return error;

    port.set_option(serial_port_base::baud_rate(settings.baudRate), error);
    if (error)
        return error;

    port.set_option(CharacterSizeOption(settings.dataBits), error);
    if (error)
        return error;

    serial_port_base::stop_bits stopBits;
    if (!StopBitsOption(settings.stopBits, stopBits)) {
        LogFile.BeginLine() << "Invalid StopBits value for camera at " << cameraAddress << ":"
                            << device << ". Defaulting to "
                            << "1" << std::endl;
        settings.stopBits = 1;
    }
    port.set_option(stopBits, error);
    if (error)
        return error;

    serial_port_base::parity parity;
    if (!ParityOption(settings.parity, parity)) {
        LogFile.BeginLine() << "Invalid Parity value for camera at " << cameraAddress << ":"
                            << device << ". Defaulting to "
                            << "N" << std::endl;
        settings.parity = 'N';
    }
    port.set_option(parity, error);
    return error;
}

bool SerialLink::EnsureOpen()
{
    Perform(machine.CommandWaiting());
    return machine.State() == LinkState::Open;
}

void SerialLink::WriteFailed(const boost::system::error_code& error)
{
    Perform(machine.CommandWriteFailed(error.message()));
}

void SerialLink::Perform(const LinkActions& actions)
{
    if (!actions.logLine.empty())
        LogFile.BeginLine() << actions.logLine << std::endl;
    if (actions.closeAll) {
        boost::system::error_code ignored;
        port.close(ignored);
    }
    if (actions.reopen)
        Reopen();
}

// A device that comes back under its name (a replugged adapter) carries the
// next command with the line settings the camera was configured for. As at
// construction, a refused setting leaves the port open with the settings
// applied before it.
void SerialLink::Reopen()
{
    boost::system::error_code ignored;
    port.close(ignored);

    boost::system::error_code error;
    port.open(device, error);
    if (!error)
        ApplySettings(error);
    Perform(machine.ReopenEnded(port.is_open(), error ? error.message() : std::string()));
}

bool SerialLink::ApplySettings(boost::system::error_code& error)
{
    port.set_option(serial_port_base::baud_rate(settings.baudRate), error);
    if (error)
        return false;
    // Construction may have ended before it checked the character size.
    if (settings.dataBits < 5 || settings.dataBits > 8) {
        error = boost::asio::error::invalid_argument;
        return false;
    }
    port.set_option(CharacterSizeOption(settings.dataBits), error);
    if (error)
        return false;
    serial_port_base::stop_bits stopBits;
    StopBitsOption(settings.stopBits, stopBits);
    port.set_option(stopBits, error);
    if (error)
        return false;
    serial_port_base::parity parity;
    ParityOption(settings.parity, parity);
    port.set_option(parity, error);
    return !error;
}

void SerialLink::Stop()
{
    Perform(machine.Stop());
}

} // namespace korvel
