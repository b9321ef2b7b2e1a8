#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace korvel {

// What the system still holds of the bytes written to a serial port or a
// TCP socket, given by its native handle (a descriptor, or a Windows HANDLE
// or SOCKET): the serial driver's output queue, not yet on the line; the
// socket's bytes not yet sent to the peer. None when the system cannot say:
// a socket on Windows, a handle that is not open. A pseudo-terminal reports
// an empty queue whatever its reader has left unread.
std::optional<std::size_t> SerialOutputQueue(std::uintptr_t port);
std::optional<std::size_t> SocketUnsentBytes(std::uintptr_t socket);

} // namespace korvel
