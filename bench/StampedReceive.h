#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace korvel {

// Receives with the kernel's arrival stamp, so that a latency measured on
// this side does not include how long the bench itself took to get round to
// the socket.
void EnableReceiveStamps(int socket);

// Like recv(MSG_DONTWAIT); `arrival` gets the stamp of the data read (the
// wall clock now when the kernel gave none).
ssize_t ReceiveStamped(int socket, void* buffer, std::size_t size, std::int64_t& arrival);

} // namespace korvel
