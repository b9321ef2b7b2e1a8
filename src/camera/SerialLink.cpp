#include "camera/SerialLink.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include "camera/SerialLineOptions.h"
#include "log/LogFile.h"
#include "platform/OutputQueue.h"

#include <boost/asio/error.hpp>

#include <cstdint>
#include <type_traits>

namespace korvel {

using boost::asio::serial_port_base;

namespace {

// A descriptor, or a Windows HANDLE.
template <typename Handle>
std::uintptr_t HandleValue(Handle handle)
{
    if constexpr (std::is_pointer_v<Handle>)
        return reinterpret_cast<std::uintptr_t>(handle);
    else
        return static_cast<std::uintptr_t>(handle);
}

} // namespace

SerialLink::SerialLink(boost::asio::io_context& io, const std::string& device,
                       const SerialSettings& settings)
    : device(device), settings(settings), port(io), machine(LinkStateMachine::Serial(device, false))
{
    boost::system::error_code error;
    port.open(device, error);
    if (!error)
        error = ApplySettings(Applying::AtSetUp);
    machine = LinkStateMachine::Serial(device, port.is_open());
    if (!startFailure.empty())
        return; // the run ends: whoever builds the camera says why
    if (error) {
        LogFile.BeginLine() << "Error connecting to track camera on serial port " << device << ":"
                            << error.message() << std::endl;
        return;
    }
    LogFile.BeginLine() << "Connecting to analog track camera on serial port " << device
                        << std::endl;
}

bool SerialLink::EnsureOpen()
{
    Perform(machine.CommandWaiting());
    return machine.State() == LinkState::Open;
}

void SerialLink::AsyncWrite(const void* data, std::size_t length, WriteHandler handler)
{
    boost::asio::async_write(
        port, boost::asio::buffer(data, length),
        [handler = std::move(handler)](const boost::system::error_code& error, std::size_t) {
            handler(error);
        });
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
        error = ApplySettings(Applying::AtReopen);
    Perform(machine.ReopenEnded(port.is_open(), error ? error.message() : std::string()));
}

boost::system::error_code SerialLink::ApplySettings(Applying when)
{
    const bool atSetUp = when == Applying::AtSetUp;
    auto notice = [atSetUp](const std::string& text) {
        if (atSetUp && !text.empty())
            LogFile.BeginLine() << text << std::endl;
    };

    boost::system::error_code error;
    port.set_option(serial_port_base::baud_rate(settings.baudRate), error);
    if (error)
        return error;
    // Met at a reopen only when the set-up ended earlier (a refused speed):
    // the line then stays without the rest of its settings.
    if (!settings.dataBitsFailure.empty()) {
        if (atSetUp)
            startFailure = settings.dataBitsFailure;
        return boost::asio::error::invalid_argument;
    }
    port.set_option(CharacterSizeOption(settings.dataBits), error);
    if (error)
        return error;
    notice(settings.stopBitsNotice);
    port.set_option(StopBitsOption(settings.stopBits), error);
    if (error)
        return error;
    notice(settings.parityNotice);
    port.set_option(ParityOption(settings.parity), error);
    return error;
}

std::optional<std::size_t> SerialLink::OutputQueue()
{
    if (!port.is_open())
        return std::nullopt;
    return SerialOutputQueue(HandleValue(port.native_handle()));
}

void SerialLink::Stop()
{
    Perform(machine.Stop());
}

} // namespace korvel
