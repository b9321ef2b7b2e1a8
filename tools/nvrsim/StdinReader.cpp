#include "StdinReader.h"

#include "ControlCommands.h"

#include <boost/asio/post.hpp>

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace nvrsim {

StdinReader::StdinReader(boost::asio::io_context& io, LineHandler handler)
    : io(io), handler(std::move(handler))
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    wakeRead = pipeEnds[0];
    wakeWrite = pipeEnds[1];
    thread = std::thread([this] { Run(); });
}

StdinReader::~StdinReader()
{
    Stop();
    ::close(wakeRead);
    ::close(wakeWrite);
}

void StdinReader::Stop()
{
    if (!thread.joinable())
        return;
    const char wake = 'x';
    while (::write(wakeWrite, &wake, 1) < 0 && errno == EINTR) {
    }
    thread.join();
}

void StdinReader::Run()
{
    std::string line;
    bool overlong = false;
    char chunk[4096];
    for (;;) {
        pollfd watched[2] = {{0, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[1].revents != 0)
            return;
        const ssize_t count = ::read(0, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i) {
            if (chunk[i] != '\n') {
                if (line.size() < MaxLineLength)
                    line += chunk[i];
                else
                    overlong = true;
                continue;
            }
            // An overlong line is refused rather than cut short and obeyed.
            boost::asio::post(
                io, [this, complete = line, tooLong = overlong] { handler(complete, tooLong); });
            line.clear();
            overlong = false;
        }
    }
    if (!line.empty() && !overlong)
        boost::asio::post(io, [this, line] { handler(line, false); });
}

} // namespace nvrsim
