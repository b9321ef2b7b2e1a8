#pragma once

// One TCP connection to an NVR, driven by blocking calls that each end by a
// deadline. The socket itself is non-blocking; waiting is done with poll.

#include "clock/SteadyTime.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tlapi {

using Deadline = korvel::TimeSource::TimePoint;

// The library's deadlines run on the program's real time source.
inline Deadline Now()
{
    return korvel::RealTime().Now();
}

class Connection
{
public:
    enum class ReadResult
    {
        Data,    // bytes were appended
        Timeout, // nothing arrived before the deadline
        Closed,  // the peer ended the connection
        Failed   // a socket error; see the error text
    };

    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Resolves host, connects, and leaves the connection open on success.
    bool Connect(const std::string& host, int port, Deadline deadline, std::string& error);
    // Writes all bytes or fails; a partial write leaves the stream unusable.
    bool Send(const std::vector<uint8_t>& bytes, Deadline deadline, std::string& error);
    // Waits until bytes arrive or the deadline passes; appends what arrived.
    // A deadline in the past only collects what is already there.
    ReadResult Receive(std::vector<uint8_t>& received, Deadline deadline, std::string& error);
    void Close();

    bool IsOpen() const { return socket >= 0; }
    int Socket() const { return socket; }

private:
    int socket = -1;
};

} // namespace tlapi
