#include "platform/SocketWait.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace korvel {

SocketWait::SocketWait() : wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (wakeUp < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

SocketWait::~SocketWait()
{
    ::close(wakeUp);
}

void SocketWait::Wait(int socket, std::optional<std::chrono::milliseconds> timeout)
{
    pollfd entries[2] = {{wakeUp, POLLIN, 0}, {socket, POLLIN, 0}};
    const nfds_t count = socket >= 0 ? 2 : 1;
    const int milliseconds = timeout ? static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
                                           timeout->count(), 0, std::numeric_limits<int>::max()))
                                     : -1;
    // An interrupted wait ends early; the caller looks again.
    if (::poll(entries, count, milliseconds) > 0 && (entries[0].revents & POLLIN) != 0) {
        std::uint64_t wakeUps;
        [[maybe_unused]] const ssize_t taken = ::read(wakeUp, &wakeUps, sizeof wakeUps);
    }
}

void SocketWait::Wake()
{
    const std::uint64_t one = 1;
    // Fails only when the counter is full, which wakes the wait all the same.
    [[maybe_unused]] const ssize_t written = ::write(wakeUp, &one, sizeof one);
}

} // namespace korvel
