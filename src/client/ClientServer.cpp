#include "client/ClientServer.h"

ClientServer::ClientServer(boost::asio::io_context& io, const std::string& address,
                           std::uint32_t port, CameraTable&, UserTable&)
    : io(io), acceptor(io)
{
    const auto ip = boost::asio::ip::make_address(address);
    const boost::asio::ip::tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol());
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(boost::asio::socket_base::max_listen_connections);
}

ClientServer::~ClientServer()
{
    io.stop();
}

void ClientServer::AnnounceControl(const std::string&, std::uint16_t) {}
void ClientServer::AnnounceRelease(const std::string&) {}
