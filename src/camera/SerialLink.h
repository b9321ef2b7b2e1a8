#pragma once

#include "camera/CameraLink.h"
#include "camera/LinkStateMachine.h"
#include "config/Settings.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace korvel {

// The serial line of an analog track camera: the port and its line
// settings. Write-only; what happens after a failure is LinkStateMachine's
// to decide. Everything but the set-up at construction runs on the I/O loop
// thread.
class SerialLink final : public SerialCameraLink
{
public:
    // Opens the device (its name passed unchanged) and applies the settings
    // in order, logging the outcome and, at its step, each notice the loader
    // left in them. A refused setting is logged and ends the set-up; the port
    // stays open with the settings applied so far. Settings the line cannot
    // take end it silently, with StartFailure set.
    SerialLink(boost::asio::io_context& io, const std::string& device,
               const SerialSettings& settings);
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // True once the device has been opened at construction: commands are
    // written from then on (a port lost later is reopened by WriteFailed).
    bool Opened() const override { return machine.WritesCommands(); }
    // Why the set-up could not go on and the run cannot either (the loader's
    // SerialSettings::dataBitsFailure, once the device had opened and taken
    // the speed); empty otherwise.
    const std::string& StartFailure() const override { return startFailure; }
    LinkState State() const override { return machine.State(); }

    // True when the port is open; a port that an earlier failure left closed
    // is reopened first (and the failure logged), so that the first command
    // after the device is back reaches it.
    bool EnsureOpen() override;

    void AsyncWrite(const void* data, std::size_t length, WriteHandler handler) override;
    // What the port's driver still holds of the bytes written, not yet on
    // the line; none when the port is closed or the system cannot say.
    std::optional<std::size_t> OutputQueue() override;

    // A command write failed (see LinkStateMachine::CommandWriteFailed).
    void WriteFailed(const boost::system::error_code& error) override;

    void Stop() override;

private:
    enum class Applying
    {
        AtSetUp,  // the loader's notices are logged; StartFailure may be set
        AtReopen, // silently
    };

    void Perform(const LinkActions& actions);
    void Reopen();
    // Applies the line settings to the open port in order, up to the first
    // refusal, which it returns.
    boost::system::error_code ApplySettings(Applying when);

    std::string device;
    const SerialSettings settings;
    std::string startFailure;
    boost::asio::serial_port port;
    LinkStateMachine machine;
};

} // namespace korvel
