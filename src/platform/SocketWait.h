#pragma once

#include <chrono>
#include <optional>

namespace korvel {

// One thread's wait for a socket to have something to read, which any other
// thread can end early. The thread that waits owns the object; Wake may be
// called from anywhere. A wake-up that comes while nobody waits ends the next
// wait at once, so none is lost.
class SocketWait
{
public:
    // Throws std::system_error when the system gives no descriptor for the
    // wake-up.
    SocketWait();
    ~SocketWait();
    SocketWait(const SocketWait&) = delete;
    SocketWait& operator=(const SocketWait&) = delete;

    // Blocks until the socket (a descriptor on Linux, a SOCKET value on
    // Windows; -1 for none) can be read or has failed, Wake is called, or the
    // timeout passes (empty: no limit). Says nothing of which: the caller
    // looks at what it waits for.
    void Wait(int socket, std::optional<std::chrono::milliseconds> timeout);
    void Wake();

private:
    // Linux: an eventfd. Windows: a UDP socket on the loopback host that
    // sends to itself (its SOCKET value, which fits as the library's does).
    int wakeUp = -1;
};

} // namespace korvel
