#pragma once

// A pseudo-terminal pair standing in for a serial camera: the program opens
// the slave by its path; the test reads what arrives on the master side and
// looks at the line settings through its own slave descriptor.
#include <chrono>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace korvel {

class PseudoTerminal
{
public:
    PseudoTerminal()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        slavePath = name;
        // Raw on the master side too, so that reads return the bytes as written.
        termios settings{};
        ::tcgetattr(master, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(master, TCSANOW, &settings);
    }
    ~PseudoTerminal()
    {
        CloseMaster();
        ::close(slave);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& SlavePath() const { return slavePath; }
    // The side the test reads, for a reader of its own.
    int MasterFd() const { return master; }

    termios SlaveSettings() const
    {
        termios settings{};
        ::tcgetattr(slave, &settings);
        return settings;
    }

    // Reads until `count` bytes have arrived or the timeout passes.
    std::string Read(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        std::string data;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (data.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd ready{master, POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[4096];
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got <= 0)
                break;
            data.append(buffer, static_cast<std::size_t>(got));
        }
        return data;
    }

    // Hangs the line up: writes to the slave fail from then on.
    void CloseMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

private:
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

} // namespace korvel
