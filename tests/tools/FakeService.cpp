#include "FakeService.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel {

namespace {

// Waits for a descriptor to become readable, looking at the stop flag every
// 100 ms; false when stopping.
bool AwaitReadable(int fd, const std::atomic<bool>& stopping)
{
    while (!stopping) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

} // namespace

FakeService::FakeService(const Behaviour& behaviour) : behaviour(behaviour)
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("fake service cannot listen");
    port = ntohs(address.sin_port);
    thread = std::thread([this] { Run(); });
}

FakeService::~FakeService()
{
    stopping = true;
    thread.join();
    ::close(listener);
}

std::vector<std::string> FakeService::Messages() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
}

std::vector<unsigned short> FakeService::ClientPorts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return clientPorts;
}

void FakeService::Run()
{
    for (bool first = true; AwaitReadable(listener, stopping); first = false) {
        sockaddr_in client{};
        socklen_t length = sizeof client;
        const int connection =
            ::accept4(listener, reinterpret_cast<sockaddr*>(&client), &length, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            clientPorts.push_back(ntohs(client.sin_port));
        }
        Serve(connection, first);
        ::close(connection);
    }
}

void FakeService::Send(int connection, const std::string& text)
{
    if (!text.empty())
        ::send(connection, text.data(), text.size(), MSG_NOSIGNAL);
}

void FakeService::Serve(int connection, bool first)
{
    Send(connection, behaviour.greeting);
    char buffer[1024];
    std::size_t count = 0;
    while (AwaitReadable(connection, stopping)) {
        const ssize_t length = ::recv(connection, buffer, sizeof buffer, 0);
        if (length <= 0)
            return;
        const std::string message(buffer, static_cast<std::size_t>(length));
        {
            std::lock_guard<std::mutex> lock(mutex);
            messages.push_back(message);
        }
        if (message.compare(0, OperatorProtocol::Login.size(), OperatorProtocol::Login) == 0)
            Send(connection, std::string(behaviour.acceptedLogins.count(message)
                                             ? OperatorProtocol::LoginAccepted
                                             : OperatorProtocol::LoginRefused) +
                                 behaviour.afterLogin);
        for (const auto& reply : behaviour.replies)
            if (message.compare(0, reply.first.size(), reply.first) == 0)
                Send(connection, reply.second);
        if (++count == behaviour.closeAfter && first)
            return;
    }
}

std::string ShowMessage(const std::string& message)
{
    for (char c : message)
        if (c < 0x20 || c > 0x7E) {
            static const char Digits[] = "0123456789ABCDEF";
            std::string hex;
            for (unsigned char byte : message) {
                if (!hex.empty())
                    hex += ' ';
                hex += Digits[byte >> 4];
                hex += Digits[byte & 0x0F];
            }
            return hex;
        }
    return message;
}

} // namespace korvel
