#include "platform/OutputQueue.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace korvel {

namespace {

std::optional<std::size_t> Queued(std::uintptr_t handle, unsigned long request)
{
    int bytes = 0;
    if (::ioctl(static_cast<int>(handle), request, &bytes) != 0 || bytes < 0)
        return std::nullopt;
    return static_cast<std::size_t>(bytes);
}

} // namespace

std::optional<std::size_t> SerialOutputQueue(std::uintptr_t port)
{
    return Queued(port, TIOCOUTQ);
}

// Not yet sent: what the peer's window or the congestion window holds back.
// (SIOCOUTQ would count the bytes sent but not yet acknowledged as well.)
std::optional<std::size_t> SocketUnsentBytes(std::uintptr_t socket)
{
    return Queued(socket, SIOCOUTQNSD);
}

} // namespace korvel
