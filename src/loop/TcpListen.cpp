#include "loop/TcpListen.h"

#include <boost/system/error_code.hpp>

namespace korvel {

namespace {

Listening Failed(Listening listening, const char* step, const boost::system::error_code& error)
{
    boost::system::error_code ignored;
    listening.acceptor.close(ignored);
    listening.failure = step ? std::string(step) + ": " + error.message() : error.message();
    return listening;
}

} // namespace

Listening ListenOn(boost::asio::io_context& io, const std::string& address, std::uint32_t port)
{
    Listening listening{boost::asio::ip::tcp::acceptor(io), {}};
    boost::system::error_code error;
    boost::asio::ip::address ip;
    if (const auto v6 = boost::asio::ip::make_address_v6(address, error); !error) {
        ip = v6;
    } else {
        const auto v4 = boost::asio::ip::make_address_v4(address, error);
        if (error)
            return Failed(std::move(listening), nullptr, error);
        ip = v4;
    }
    if (port > 0xffff)
        return Failed(std::move(listening), nullptr,
                      boost::system::errc::make_error_code(boost::system::errc::invalid_argument));
    const boost::asio::ip::tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    auto& acceptor = listening.acceptor;
    if (acceptor.open(endpoint.protocol(), error))
        return Failed(std::move(listening), "open", error);
    if (acceptor.set_option(boost::asio::socket_base::reuse_address(true), error))
        return Failed(std::move(listening), "set_option", error);
    if (acceptor.bind(endpoint, error))
        return Failed(std::move(listening), "bind", error);
    if (acceptor.listen(boost::asio::socket_base::max_listen_connections, error))
        return Failed(std::move(listening), "listen", error);
    return listening;
}

} // namespace korvel
