#include "platform/SocketKeepAlive.h"

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace korvel {

std::error_code EnableKeepAlive(std::uintptr_t socket, const KeepAliveTiming& timing)
{
    const int fd = static_cast<int>(socket);
    const int on = 1;
    const int idle = static_cast<int>(timing.idle.count());
    const int interval = static_cast<int>(timing.interval.count());
    const int unacknowledgedMs = (idle + interval * timing.probes) * 1000;
    const struct
    {
        int level;
        int name;
        const int* value;
    } options[] = {
        {SOL_SOCKET, SO_KEEPALIVE, &on},
        {IPPROTO_TCP, TCP_KEEPIDLE, &idle},
        {IPPROTO_TCP, TCP_KEEPINTVL, &interval},
        {IPPROTO_TCP, TCP_KEEPCNT, &timing.probes},
        {IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs},
    };
    for (const auto& option : options)
        if (::setsockopt(fd, option.level, option.name, option.value, sizeof(int)) != 0)
            return {errno, std::system_category()};
    return {};
}

} // namespace korvel
