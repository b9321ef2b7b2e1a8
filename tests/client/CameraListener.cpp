#include "CameraListener.h"

#include "support/OperatorClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace korvel {

CameraListener::CameraListener(const std::string& address)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t length = sizeof local;
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        throw std::runtime_error("no camera listener on " + address);
    }
    port = ntohs(local.sin_port);
}

CameraListener::~CameraListener()
{
    if (connection >= 0)
        ::close(connection);
    ::close(listener);
}

bool CameraListener::Accept(std::chrono::milliseconds timeout)
{
    pollfd wanted{listener, POLLIN, 0};
    if (::poll(&wanted, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return connection >= 0;
}

std::string CameraListener::Read(std::size_t count, std::chrono::milliseconds timeout)
{
    return connection >= 0 ? ReadFrom(connection, count, timeout) : std::string();
}

} // namespace korvel
