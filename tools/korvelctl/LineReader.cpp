#include "korvelctl/LineReader.h"

#include <boost/asio/post.hpp>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace korvel {

namespace {

// Longer lines are handed on in pieces of this size.
const std::size_t MaxLine = 64 * 1024;

} // namespace

LineReader::LineReader(boost::asio::io_context& io, std::function<void(const std::string&)> onLine,
                       std::function<void()> onEnd)
    : io(io), onLine(std::move(onLine)), onEnd(std::move(onEnd))
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");
    wakeRead = fds[0];
    wakeWrite = fds[1];
}

LineReader::~LineReader()
{
    Stop();
    ::close(wakeRead);
    ::close(wakeWrite);
}

void LineReader::Start()
{
    thread = std::thread([this] { Run(); });
}

void LineReader::Stop()
{
    if (!thread.joinable())
        return;
    const char wake = 0;
    while (::write(wakeWrite, &wake, 1) < 0 && errno == EINTR) {
    }
    thread.join();
}

void LineReader::Run()
{
    std::string pending;
    char buffer[4096];
    auto post = [this](const std::string& line) {
        boost::asio::post(io, [this, line] { onLine(line); });
    };
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            return; // stopped: the loop no longer wants input
        if (fds[0].revents == 0)
            continue;
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(count));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1)
            post(pending.substr(start, end - start));
        pending.erase(0, start);
        if (pending.size() >= MaxLine) {
            post(pending);
            pending.clear();
        }
    }
    if (!pending.empty())
        post(pending);
    boost::asio::post(io, [this] { onEnd(); });
}

} // namespace korvel
