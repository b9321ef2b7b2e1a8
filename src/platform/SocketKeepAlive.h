#pragma once

#include <chrono>
#include <cstdint>
#include <system_error>

namespace korvel {

// TCP keepalive: after `idle` without traffic the system probes the peer
// every `interval`, and drops the connection after `probes` unanswered
// probes. The peer sees nothing but the probes, which its TCP answers.
// Data the peer leaves unacknowledged for as long (idle + interval x probes)
// drops the connection too, so that a peer that vanished while data was on
// its way is not retried for a quarter of an hour.
struct KeepAliveTiming
{
    std::chrono::seconds idle;
    std::chrono::seconds interval;
    int probes;
};

// Turns keepalive on for a connected TCP socket, given by its native handle
// (a descriptor, or a Windows SOCKET). Returns the system's error when it
// refuses. Windows before 10 version 1703 keeps its own probe count (10),
// and bounds unacknowledged data by its retransmission timeout alone.
std::error_code EnableKeepAlive(std::uintptr_t socket, const KeepAliveTiming& timing);

} // namespace korvel
