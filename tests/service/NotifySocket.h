#pragma once

#include <chrono>
#include <string>

namespace korvel {

// A stand-in for the service manager's notification socket: a datagram
// socket at a path, whose messages the test reads in order.
class NotifySocket
{
public:
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& Path() const { return path; }

    // Reads messages until one holds the line; false on timeout. Every
    // message read is kept in Received().
    bool WaitForLine(const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
    const std::string& Received() const { return received; }

private:
    std::string path;
    int fd = -1;
    std::string received; // messages, each followed by "\n--\n"
};

} // namespace korvel
