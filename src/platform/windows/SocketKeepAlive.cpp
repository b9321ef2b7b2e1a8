#include "platform/SocketKeepAlive.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>

// Windows 10 version 1703 and later; older headers lack it.
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif

namespace korvel {

std::error_code EnableKeepAlive(std::uintptr_t socket, const KeepAliveTiming& timing)
{
    const auto handle = static_cast<SOCKET>(socket);
    // The idle time and the interval, in milliseconds, on every version
    // since Windows 2000.
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<u_long>(timing.idle.count() * 1000);
    values.keepaliveinterval = static_cast<u_long>(timing.interval.count() * 1000);
    DWORD returned = 0;
    if (::WSAIoctl(handle, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                   nullptr, nullptr) != 0)
        return {::WSAGetLastError(), std::system_category()};
    // The probe count can be set from Windows 10 version 1703 on; earlier
    // versions refuse it and send 10 probes, which only lengthens the wait.
    const DWORD probes = static_cast<DWORD>(timing.probes);
    ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes),
                 sizeof probes);
    // Unacknowledged data: the longest wait for a retransmission's answer,
    // in seconds (Windows Vista and later; refused, it keeps its default).
    const DWORD unacknowledged =
        static_cast<DWORD>((timing.idle + timing.interval * timing.probes).count());
    ::setsockopt(handle, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&unacknowledged),
                 sizeof unacknowledged);
    return {};
}

} // namespace korvel
