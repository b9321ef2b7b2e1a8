#include "support/ReservedPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace korvel {

ReservedPort::ReservedPort(const std::string& host)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    socklen_t length = sizeof address;
    if (socket < 0 || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (socket >= 0)
            ::close(socket);
        throw std::runtime_error("cannot reserve a port on " + host);
    }
    port = ntohs(address.sin_port);
}

ReservedPort::~ReservedPort()
{
    ::close(socket);
}

} // namespace korvel
