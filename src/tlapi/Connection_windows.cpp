#include "tlapi/Connection.h"

#include "tlapi/AddressLookup.h"

#include <algorithm>

#include <winsock2.h>
#include <ws2tcpip.h>

// Winsock: the socket is a handle rather than a descriptor, and waiting is
// done with select, which (unlike WSAPoll) also reports a refused connect.
// Handles of a 64-bit process fit in 32 bits, so the header's int keeps them.

namespace tlapi {
namespace {

// Winsock must be started once per process before its first call; the
// starts are counted, so Asio's own start elsewhere does not interfere.
bool WinsockStarted()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET Handle(int socket)
{
    return static_cast<SOCKET>(static_cast<unsigned int>(socket));
}

timeval TimeUntil(Deadline deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Now());
    // Round up so that a wait never ends just before its deadline and spins.
    const long long milliseconds =
        left.count() <= 0 ? 0 : std::min<long long>(left.count() + 1, 60 * 1000);
    timeval time{};
    time.tv_sec = static_cast<long>(milliseconds / 1000);
    time.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
    return time;
}

enum class Wait
{
    Read,
    Write
};

// select() on one socket until it is ready or the deadline passes: 1 ready,
// 0 timed out, -1 failed. A failed connect is reported as an exception.
int WaitFor(SOCKET socket, Wait wait, Deadline deadline)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval time = TimeUntil(deadline);
    const int count = ::select(0, wait == Wait::Read ? &ready : nullptr,
                               wait == Wait::Write ? &ready : nullptr, &failed, &time);
    return count == SOCKET_ERROR ? -1 : count > 0 ? 1 : 0;
}

std::string ErrorText(int error)
{
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length != 0 && text != nullptr ? std::string(text, length)
                                                        : "error " + std::to_string(error);
    if (text != nullptr)
        ::LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.'))
        result.pop_back();
    return result;
}

} // namespace

Connection::~Connection()
{
    Close();
}

void Connection::Close()
{
    if (socket >= 0)
        ::closesocket(Handle(socket));
    socket = -1;
}

bool Connection::Connect(const std::string& host, int port, Deadline deadline, std::string& error)
{
    Close();
    if (port <= 0 || port > 65535) {
        error = "invalid port " + std::to_string(port);
        return false;
    }
    if (!WinsockStarted()) {
        error = "WSAStartup: " + ErrorText(::WSAGetLastError());
        return false;
    }
    AddressList addresses;
    const int resolved = Resolve(host, std::to_string(port), deadline, addresses);
    if (resolved != 0) {
        error = "cannot resolve '" + host + "': " + ErrorText(resolved);
        return false;
    }

    error = "no address for '" + host + "'";
    for (addrinfo* address = addresses.list; address; address = address->ai_next) {
        const SOCKET candidate =
            ::WSASocketW(address->ai_family, address->ai_socktype, address->ai_protocol, nullptr, 0,
                         WSA_FLAG_NO_HANDLE_INHERIT);
        if (candidate == INVALID_SOCKET) {
            error = "socket: " + ErrorText(::WSAGetLastError());
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(candidate, FIONBIO, &nonBlocking);
        int result = ::connect(candidate, address->ai_addr, static_cast<int>(address->ai_addrlen));
        int socketError = result == 0 ? 0 : ::WSAGetLastError();
        if (socketError == WSAEWOULDBLOCK) {
            const int ready = WaitFor(candidate, Wait::Write, deadline);
            if (ready == 0) {
                ::closesocket(candidate);
                error = "connect: timed out";
                return false;
            }
            int length = sizeof socketError;
            if (ready < 0)
                socketError = ::WSAGetLastError();
            else if (::getsockopt(candidate, SOL_SOCKET, SO_ERROR,
                                  reinterpret_cast<char*>(&socketError), &length) != 0)
                socketError = ::WSAGetLastError();
        }
        if (socketError != 0) {
            error = "connect: " + ErrorText(socketError);
            ::closesocket(candidate);
            continue;
        }
        const BOOL on = TRUE;
        ::setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on);
        socket = static_cast<int>(candidate);
        error.clear();
        return true;
    }
    return false;
}

bool Connection::Send(const std::vector<uint8_t>& bytes, Deadline deadline, std::string& error)
{
    if (socket < 0) {
        error = "not connected";
        return false;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 20));
        const int written =
            ::send(Handle(socket), reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        const int sendError = ::WSAGetLastError();
        if (written < 0 && sendError != WSAEWOULDBLOCK) {
            error = "send: " + ErrorText(sendError);
            return false;
        }
        const int ready = WaitFor(Handle(socket), Wait::Write, deadline);
        if (ready < 0) {
            error = "select: " + ErrorText(::WSAGetLastError());
            return false;
        }
        if (ready == 0) {
            error = "send: timed out";
            return false;
        }
    }
    return true;
}

Connection::ReadResult Connection::Receive(std::vector<uint8_t>& received, Deadline deadline,
                                           std::string& error)
{
    if (socket < 0) {
        error = "not connected";
        return ReadResult::Failed;
    }
    char chunk[16384];
    for (;;) {
        const int count = ::recv(Handle(socket), chunk, sizeof chunk, 0);
        if (count > 0) {
            received.insert(received.end(), chunk, chunk + count);
            return ReadResult::Data;
        }
        if (count == 0) {
            error = "connection closed by the NVR";
            return ReadResult::Closed;
        }
        const int receiveError = ::WSAGetLastError();
        if (receiveError != WSAEWOULDBLOCK) {
            error = "recv: " + ErrorText(receiveError);
            return ReadResult::Failed;
        }
        const int ready = WaitFor(Handle(socket), Wait::Read, deadline);
        if (ready < 0) {
            error = "select: " + ErrorText(::WSAGetLastError());
            return ReadResult::Failed;
        }
        if (ready == 0)
            return ReadResult::Timeout;
    }
}

} // namespace tlapi
