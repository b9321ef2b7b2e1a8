#pragma once

#include "camsim/CameraLine.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <array>
#include <string>

namespace korvel {

// A pseudo-terminal that plays a serial camera: the service opens the
// device named by Where() as its serial port; the simulator reads what it
// writes. Never writes back.
class PtyCameraPort
{
public:
    // Creates the pseudo-terminal at once; throws std::runtime_error when it cannot.
    PtyCameraPort(boost::asio::io_context& io, CameraTotals& totals);
    ~PtyCameraPort();
    PtyCameraPort(const PtyCameraPort&) = delete;
    PtyCameraPort& operator=(const PtyCameraPort&) = delete;

    // The device path, "/dev/pts/N".
    const std::string& Where() const { return path; }

private:
    struct Device
    {
        int controller;
        int terminal;
        std::string path;
    };
    static Device OpenDevice();
    PtyCameraPort(boost::asio::io_context& io, CameraTotals& totals, Device device);
    void Read();

    std::string path;
    // Held open so that reads on the master side do not fail while no
    // program has the device open (between the service's reopenings).
    int terminalSide = -1;
    boost::asio::posix::stream_descriptor controller;
    CameraLine line;
    PelcoDecoder decoder;
    std::array<char, 4096> buffer{};
};

} // namespace korvel
