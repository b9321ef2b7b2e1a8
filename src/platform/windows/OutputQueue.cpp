#include "platform/OutputQueue.h"

#include <windows.h>

namespace korvel {

std::optional<std::size_t> SerialOutputQueue(std::uintptr_t port)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(reinterpret_cast<HANDLE>(port), &errors, &status))
        return std::nullopt;
    return static_cast<std::size_t>(status.cbOutQue);
}

// Windows tells how many bytes a connection has in flight, never how many
// wait unsent in the socket's buffer.
std::optional<std::size_t> SocketUnsentBytes(std::uintptr_t)
{
    return std::nullopt;
}

} // namespace korvel
