#include "NotifySocket.h"

#include <cstring>
#include <stdexcept>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvel {

NotifySocket::NotifySocket(const std::string& path) : path(path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("notification socket path too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind the notification socket");
}

NotifySocket::~NotifySocket()
{
    ::close(fd);
    ::unlink(path.c_str());
}

bool NotifySocket::WaitForLine(const std::string& line, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
        if (size < 0)
            continue;
        const std::string message(buffer, static_cast<std::size_t>(size));
        received += message + "\n--\n";
        if (("\n" + message + "\n").find("\n" + line + "\n") != std::string::npos)
            return true;
    }
}

} // namespace korvel
