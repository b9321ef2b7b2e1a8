#pragma once

#include "camera/LinkStateMachine.h"
#include "camera/SerialSettings.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>

#include <string>

namespace korvel {

// The serial line of an analog track camera: the port and its line
// settings. Write-only; what happens after a failure is LinkStateMachine's
// to decide. Everything but the set-up at construction runs on the I/O loop
// thread.
class SerialLink
{
public:
    // Opens the device (its name passed unchanged) and applies the settings,
    // logging the outcome. A refused setting is logged and ends the set-up;
    // the port stays open with the settings applied so far. Throws
    // std::out_of_range("invalid character_size value") for data bits outside
    // 5..8.
    SerialLink(boost::asio::io_context& io, const std::string& cameraAddress,
               const std::string& device, const SerialSettings& settings);
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // True once the device has been opened at construction: commands are
    // written from then on (a port lost later is reopened by WriteFailed).
    bool Opened() const { return machine.WritesCommands(); }
    LinkState State() const { return machine.State(); }

    // True when the port is open; a port that an earlier failure left closed
    // is reopened first (and the failure logged), so that the first command
    // after the device is back reaches it.
    bool EnsureOpen();

    template <typename Handler>
    void AsyncWrite(const void* data, std::size_t length, Handler handler);

    // A command write failed (see LinkStateMachine::CommandWriteFailed).
    void WriteFailed(const boost::system::error_code& error);

    void Stop();

private:
    // The set-up at construction: the first error, after the messages for
    // invalid stop bits or parity.
    boost::system::error_code SetUp(const std::string& cameraAddress);
    void Perform(const LinkActions& actions);
    void Reopen();
    // Applies the line settings in order; false (with the error) at the first refusal.
    bool ApplySettings(boost::system::error_code& error);

    std::string device;
    SerialSettings settings; // invalid stop bits and parity already replaced by the defaults
    boost::asio::serial_port port;
    LinkStateMachine machine;
};

template <typename Handler>
void SerialLink::AsyncWrite(const void* data, std::size_t length, Handler handler)
{
    boost::asio::async_write(
        port, boost::asio::buffer(data, length),
        [handler = std::move(handler)](const boost::system::error_code& error,
                                       std::size_t) mutable { handler(error); });
}

} // namespace korvel
