#include "platform/SocketWait.h"

#include <algorithm>
#include <system_error>

#include <winsock2.h>

// Winsock has no eventfd and select takes sockets only, so the wake-up is a
// UDP socket bound to the loopback host and connected to itself: Wake sends
// it a byte, which makes it readable. Handles of a 64-bit process fit in 32
// bits, as the NVR library's socket does.

namespace korvel {
namespace {

SOCKET Handle(int socket)
{
    return static_cast<SOCKET>(static_cast<unsigned int>(socket));
}

} // namespace

SocketWait::SocketWait()
{
    // Counted starts: Asio's and the library's elsewhere do not interfere.
    WSADATA data;
    if (const int error = ::WSAStartup(MAKEWORD(2, 2), &data); error != 0)
        throw std::system_error(error, std::system_category(), "WSAStartup");
    const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        ::WSACleanup();
        throw std::system_error(error, std::system_category(), "socket");
    }
    wakeUp = static_cast<int>(socket);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(socket);
        ::WSACleanup();
        throw std::system_error(error, std::system_category(), "wake-up socket");
    }
}

SocketWait::~SocketWait()
{
    ::closesocket(Handle(wakeUp));
    ::WSACleanup();
}

void SocketWait::Wait(int socket, std::optional<std::chrono::milliseconds> timeout)
{
    fd_set readable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    FD_SET(Handle(wakeUp), &readable);
    if (socket != -1) {
        FD_SET(Handle(socket), &readable);
        FD_SET(Handle(socket), &failed);
    }
    timeval time{};
    if (timeout) {
        const long long milliseconds =
            std::clamp<long long>(timeout->count(), 0, 24LL * 3600 * 1000);
        time.tv_sec = static_cast<long>(milliseconds / 1000);
        time.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
    }
    if (::select(0, &readable, nullptr, &failed, timeout ? &time : nullptr) <= 0 ||
        !FD_ISSET(Handle(wakeUp), &readable))
        return;
    char bytes[64];
    while (::recv(Handle(wakeUp), bytes, sizeof bytes, 0) > 0) {
    }
}

void SocketWait::Wake()
{
    const char byte = 1;
    // A full buffer already holds a wake-up.
    ::send(Handle(wakeUp), &byte, 1, 0);
}

} // namespace korvel
