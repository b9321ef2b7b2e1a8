#pragma once

#include <boost/asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace korvel {

// Reads standard input on a thread of its own, so that a terminal, a pipe
// and a file all work alike, and hands each line (without its line end) and
// finally the end of input to the I/O loop. The thread touches nothing but
// the loop's post operation.
class LineReader
{
public:
    LineReader(boost::asio::io_context& io, std::function<void(const std::string&)> onLine,
               std::function<void()> onEnd);
    // Stops the thread if it still runs.
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    void Start();
    void Stop();

private:
    void Run();

    boost::asio::io_context& io;
    std::function<void(const std::string&)> onLine;
    std::function<void()> onEnd;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread thread;
    // Where the reading thread cannot be woken (Windows), what it shares
    // with the reader instead; see LineReader_windows.cpp.
    struct Feed;
    std::shared_ptr<Feed> feed;
};

} // namespace korvel
