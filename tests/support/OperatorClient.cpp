#include "support/OperatorClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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

std::unique_ptr<OperatorClient> Greeted(std::uint16_t servicePort,
                                        const OperatorClient::Options& options)
{
    auto client = std::make_unique<OperatorClient>(servicePort, options);
    const std::string greeting = client->ReadGreeting();
    if (greeting != "SESSION " + std::to_string(client->LocalPort()))
        throw std::runtime_error("no greeting, but \"" + greeting + "\"");
    return client;
}

std::unique_ptr<OperatorClient> LogIn(std::uint16_t servicePort, const std::string& name,
                                      const std::string& password,
                                      const OperatorClient::Options& options)
{
    auto client = Greeted(servicePort, options);
    client->Send("LOGIN " + name + (password.empty() ? "" : " " + password));
    if (client->Read(2) != "OK")
        throw std::runtime_error("login refused for " + name);
    return client;
}

bool SendMessage(OperatorClient& client, const std::string& bytes)
{
    client.Send(bytes);
    // Once the service's end has acknowledged the bytes they are in its
    // receive queue (on a busy machine loopback delivery may lag behind
    // send); then that queue empties when the service reads them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int unacknowledged = 0;
        if (::ioctl(client.Fd(), SIOCOUTQ, &unacknowledged) != 0)
            return false;
        if (unacknowledged == 0) {
            const auto state = ServiceSideOf(client);
            if (state && state->unreadBytes == 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string Drain(OperatorClient& client)
{
    return client.Read(1 << 20, std::chrono::milliseconds(0));
}

void ExpectNext(OperatorClient& client, const std::string& text)
{
    EXPECT_EQ(client.Read(text.size()), text);
}

void ExpectOnlyAnswer(OperatorClient& client, const std::string& message, const std::string& answer)
{
    client.Send(message);
    EXPECT_EQ(client.Read(answer.size()), answer)
        << "nothing came before the answer to " << message;
}

} // namespace korvel
