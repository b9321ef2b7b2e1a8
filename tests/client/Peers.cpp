#include "Peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvel {

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in Endpoint(const std::string& address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1)
        throw std::runtime_error("bad address " + address);
    return endpoint;
}

std::uint16_t LocalPortOf(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        Fail("getsockname");
    return ntohs(local.sin_port);
}

int Remaining(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// /proc/net/tcp writes an IPv4 address as the 32-bit value in host order.
std::string ProcAddress(const std::string& address, std::uint16_t port)
{
    in_addr binary{};
    ::inet_pton(AF_INET, address.c_str(), &binary);
    char text[32];
    std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(binary.s_addr), port);
    return text;
}

} // namespace

std::string ReadFrom(int fd, std::size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string result;
    while (result.size() < count) {
        pollfd wanted{fd, POLLIN, 0};
        const int ready = ::poll(&wanted, 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char chunk[65536];
        const std::size_t want = std::min(sizeof chunk, count - result.size());
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        result.append(chunk, static_cast<std::size_t>(got));
    }
    return result;
}

OperatorClient::OperatorClient(std::uint16_t servicePort) : OperatorClient(servicePort, Options())
{}

OperatorClient::OperatorClient(std::uint16_t servicePort, const Options& options)
    : localAddress(options.localAddress), servicePort(servicePort)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (options.receiveBufferBytes > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes,
                     sizeof options.receiveBufferBytes);
    const sockaddr_in local = Endpoint(options.localAddress, options.localPort);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        Fail("bind");
    }
    const sockaddr_in service = Endpoint("127.0.0.1", servicePort);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&service), sizeof service) != 0) {
        ::close(fd);
        Fail("connect");
    }
    localPort = LocalPortOf(fd);
}

OperatorClient::~OperatorClient()
{
    if (fd >= 0)
        ::close(fd);
}

void OperatorClient::Send(const std::string& bytes)
{
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(bytes.size()))
        Fail("send");
}

std::string OperatorClient::Read(std::size_t count, std::chrono::milliseconds timeout)
{
    return ReadFrom(fd, count, timeout);
}

std::string OperatorClient::ReadGreeting()
{
    return Read(std::string("SESSION " + std::to_string(localPort)).size());
}

bool OperatorClient::WaitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd wanted{fd, POLLIN, 0};
        if (::poll(&wanted, 1, Remaining(deadline)) <= 0)
            return false;
        char chunk[65536];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0)
            return true;
    }
}

void OperatorClient::Reset()
{
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
    fd = -1;
}

std::optional<ServiceSocketState> ServiceSideOf(const OperatorClient& client)
{
    const std::string local = ProcAddress("127.0.0.1", client.ServicePort());
    const std::string remote = ProcAddress(client.LocalAddress(), client.LocalPort());
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localField, remoteField, state, queues;
        fields >> slot >> localField >> remoteField >> state >> queues;
        if (localField != local || remoteField != remote)
            continue;
        const auto colon = queues.find(':');
        return ServiceSocketState{std::stoi(state, nullptr, 16),
                                  std::stoul(queues.substr(colon + 1), nullptr, 16)};
    }
    return std::nullopt;
}

CameraListener::CameraListener(const std::string& address)
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        Fail("socket");
    const sockaddr_in local = Endpoint(address, 0);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener, 4) != 0) {
        ::close(listener);
        Fail("camera listener");
    }
    port = LocalPortOf(listener);
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
