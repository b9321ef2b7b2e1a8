#pragma once

// Reads command lines from standard input on a thread of its own (standard
// input may be a terminal, a pipe or a file, which the I/O loop cannot all
// watch) and posts each line to the I/O loop. The end of the input ends the
// reader, not the program.

#include <boost/asio/io_context.hpp>

#include <functional>
#include <string>
#include <thread>

namespace nvrsim {

class StdinReader
{
public:
    // tooLong: the line exceeded the length limit and was not kept.
    using LineHandler = std::function<void(const std::string& line, bool tooLong)>;

    StdinReader(boost::asio::io_context& io, LineHandler handler);
    ~StdinReader();
    StdinReader(const StdinReader&) = delete;
    StdinReader& operator=(const StdinReader&) = delete;

    // Ends the thread and waits for it; no line is posted afterwards.
    void Stop();

private:
    void Run();

    boost::asio::io_context& io;
    LineHandler handler;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread thread;
};

} // namespace nvrsim
