#include "camsim/TcpCameraPort.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>

#include <array>
#include <memory>

namespace korvel {

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

std::string EndpointText(const tcp::endpoint& endpoint)
{
    const auto address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

// One accepted connection, kept alive by its pending read.
class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(tcp::socket socket, CameraLine& line, std::string peer)
        : socket(std::move(socket)), line(line), peer(std::move(peer))
    {}

    void Read()
    {
        auto self = shared_from_this();
        socket.async_read_some(
            boost::asio::buffer(buffer),
            [self](const error_code& error, std::size_t length) { self->OnRead(error, length); });
    }

private:
    void OnRead(const error_code& error, std::size_t length)
    {
        if (error == boost::asio::error::operation_aborted)
            return;
        if (error == boost::asio::error::eof) {
            line.Note("connection from " + peer + " closed");
            return;
        }
        if (error) {
            line.Note("connection from " + peer + " lost: " + error.message());
            return;
        }
        line.Show(decoder.Feed(reinterpret_cast<const std::uint8_t*>(buffer.data()), length));
        Read();
    }

    tcp::socket socket;
    CameraLine& line;
    std::string peer;
    PelcoDecoder decoder;
    std::array<char, 4096> buffer{};
};

tcp::acceptor Listen(boost::asio::io_context& io, const std::string& host, unsigned short port)
{
    const tcp::endpoint endpoint(boost::asio::ip::make_address(host), port);
    tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    return acceptor;
}

} // namespace

TcpCameraPort::TcpCameraPort(boost::asio::io_context& io, const std::string& host,
                             unsigned short port, CameraTotals& totals)
    : acceptor(Listen(io, host, port)), retryTimer(io),
      line(EndpointText(acceptor.local_endpoint()), totals)
{
    Accept();
}

std::string TcpCameraPort::Where() const
{
    return EndpointText(acceptor.local_endpoint());
}

void TcpCameraPort::Accept()
{
    acceptor.async_accept([this](const error_code& error, tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!error) {
            error_code peerError;
            const auto remote = socket.remote_endpoint(peerError);
            const std::string peer = peerError ? "an unknown peer" : EndpointText(remote);
            line.Note("connection from " + peer);
            std::make_shared<Connection>(std::move(socket), line, peer)->Read();
            Accept();
            return;
        }
        // Out of descriptors, for example: try again a little later, not at once.
        line.Note("accept failed: " + error.message());
        retryTimer.expires_after(std::chrono::milliseconds(200));
        retryTimer.async_wait([this](const error_code& error) {
            if (!error && acceptor.is_open())
                Accept();
        });
    });
}

} // namespace korvel
