#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>

namespace korvel {

// A listening socket at a numeric address (IPv4 or IPv6) and port, or why
// there is none, in the words the socket's own exceptions use: the step
// that failed and the system's text ("bind: Address already in use"), or
// the text alone for an address that is not numeric or a port beyond 65535
// ("Invalid argument"). The one way every port of the service is opened
// (the operators', the status server's).
//
// The listener reuses the address (a restart binds at once) and keeps a
// full backlog: a burst of connections waits in the kernel for its turn
// rather than be refused there.
struct Listening
{
    boost::asio::ip::tcp::acceptor acceptor;
    std::string failure; // empty once listening
};

Listening ListenOn(boost::asio::io_context& io, const std::string& address, std::uint32_t port);

} // namespace korvel
