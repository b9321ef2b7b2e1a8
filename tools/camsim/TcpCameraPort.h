#pragma once

#include "camsim/CameraLine.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <string>

namespace korvel {

// A TCP port that plays a network camera: accepts any number of
// connections (the service reconnects after failures) and shows what each
// sends; all connections drive the same simulated cameras. Never writes.
class TcpCameraPort
{
public:
    // Listens at once; throws boost::system::system_error when it cannot.
    TcpCameraPort(boost::asio::io_context& io, const std::string& host, unsigned short port,
                  CameraTotals& totals);
    TcpCameraPort(const TcpCameraPort&) = delete;
    TcpCameraPort& operator=(const TcpCameraPort&) = delete;

    // "127.0.0.1:40001", with the port actually bound.
    std::string Where() const;

private:
    void Accept();

    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer retryTimer;
    CameraLine line;
};

} // namespace korvel
