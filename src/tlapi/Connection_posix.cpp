#include "tlapi/Connection.h"

#include "tlapi/AddressLookup.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tlapi {
namespace {

int MillisecondsUntil(Deadline deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Now());
    if (left.count() <= 0)
        return 0;
    // Round up so that a wait never ends just before its deadline and spins.
    return static_cast<int>(std::min<long long>(left.count() + 1, 60 * 1000));
}

// poll() on one descriptor until an event or the deadline; EINTR restarts it.
int WaitFor(int socket, short events, Deadline deadline, short& revents)
{
    for (;;) {
        pollfd entry{socket, events, 0};
        const int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        revents = entry.revents;
        return ready;
    }
}

std::string ErrorText(int error)
{
    return std::strerror(error);
}

} // namespace

Connection::~Connection()
{
    Close();
}

void Connection::Close()
{
    if (socket >= 0)
        ::close(socket);
    socket = -1;
}

bool Connection::Connect(const std::string& host, int port, Deadline deadline, std::string& error)
{
    Close();
    if (port <= 0 || port > 65535) {
        error = "invalid port " + std::to_string(port);
        return false;
    }
    AddressList addresses;
    const int resolved = Resolve(host, std::to_string(port), deadline, addresses);
    if (resolved != 0) {
        error = "cannot resolve '" + host + "': " + ::gai_strerror(resolved);
        return false;
    }

    error = "no address for '" + host + "'";
    for (addrinfo* address = addresses.list; address; address = address->ai_next) {
        const int candidate =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     address->ai_protocol);
        if (candidate < 0) {
            error = "socket: " + ErrorText(errno);
            continue;
        }
        int result = ::connect(candidate, address->ai_addr, address->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            short revents = 0;
            const int ready = WaitFor(candidate, POLLOUT, deadline, revents);
            if (ready == 0) {
                ::close(candidate);
                error = "connect: timed out";
                return false;
            }
            int socketError = 0;
            socklen_t length = sizeof socketError;
            if (ready < 0)
                socketError = errno;
            else if (::getsockopt(candidate, SOL_SOCKET, SO_ERROR, &socketError, &length) != 0)
                socketError = errno;
            result = socketError == 0 ? 0 : -1;
            errno = socketError;
        }
        if (result != 0) {
            error = "connect: " + ErrorText(errno);
            ::close(candidate);
            continue;
        }
        const int on = 1;
        ::setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        socket = candidate;
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
        const ssize_t written =
            ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = "send: " + ErrorText(errno);
            return false;
        }
        short revents = 0;
        const int ready = WaitFor(socket, POLLOUT, deadline, revents);
        if (ready < 0) {
            error = "poll: " + ErrorText(errno);
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
    uint8_t chunk[16384];
    for (;;) {
        const ssize_t count = ::recv(socket, chunk, sizeof chunk, 0);
        if (count > 0) {
            received.insert(received.end(), chunk, chunk + count);
            return ReadResult::Data;
        }
        if (count == 0) {
            error = "connection closed by the NVR";
            return ReadResult::Closed;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error = "recv: " + ErrorText(errno);
            return ReadResult::Failed;
        }
        short revents = 0;
        const int ready = WaitFor(socket, POLLIN, deadline, revents);
        if (ready < 0) {
            error = "poll: " + ErrorText(errno);
            return ReadResult::Failed;
        }
        if (ready == 0)
            return ReadResult::Timeout;
    }
}

} // namespace tlapi
