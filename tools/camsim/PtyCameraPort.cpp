#include "camsim/PtyCameraPort.h"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <cstring>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace korvel {

using boost::system::error_code;

PtyCameraPort::Device PtyCameraPort::OpenDevice()
{
    int controller = -1;
    int terminal = -1;
    if (::openpty(&controller, &terminal, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") +
                                 std::strerror(errno));
    // Raw, so that the bytes pass unchanged (no line end translation).
    termios settings{};
    ::tcgetattr(terminal, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(terminal, TCSANOW, &settings);
    char name[128];
    if (::ptsname_r(controller, name, sizeof name) != 0) {
        ::close(controller);
        ::close(terminal);
        throw std::runtime_error("cannot name the pseudo-terminal");
    }
    return {controller, terminal, name};
}

PtyCameraPort::PtyCameraPort(boost::asio::io_context& io, CameraTotals& totals)
    : PtyCameraPort(io, totals, OpenDevice())
{}

PtyCameraPort::PtyCameraPort(boost::asio::io_context& io, CameraTotals& totals, Device device)
    : path(device.path), terminalSide(device.terminal), controller(io, device.controller),
      line(path, totals)
{
    Read();
}

PtyCameraPort::~PtyCameraPort()
{
    error_code ignored;
    controller.close(ignored);
    if (terminalSide >= 0) {
        ::close(terminalSide);
        terminalSide = -1;
    }
}

void PtyCameraPort::Read()
{
    controller.async_read_some(
        boost::asio::buffer(buffer), [this](const error_code& error, std::size_t length) {
            if (error == boost::asio::error::operation_aborted || !controller.is_open())
                return;
            if (error) {
                // With the terminal side held open this does not happen in normal use.
                line.Note("reading the pseudo-terminal failed: " + error.message());
                return;
            }
            line.Show(decoder.Feed(reinterpret_cast<const std::uint8_t*>(buffer.data()), length));
            Read();
        });
}

} // namespace korvel
