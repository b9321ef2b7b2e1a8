#pragma once

#include "config/Configuration.h"

#include <boost/asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>

namespace korvel {

// Reads and loads tlKorvel.xml for a reload on a thread of its own, and
// hands the load to the loop: a file that blocks (a stalled network file
// system), a large one or one that is slow to parse never holds up the
// operators, the cameras or the status server.
//
//   Start (loop) -> reading thread: Load -> posted -> Done (loop)
//
// The run starts one read at a time (ReloadRequest). The reading thread is
// detached: nothing ever waits for it. Once the reader has gone (the run
// stops), a read still under way ends by itself when the file system lets
// it, hands nothing over and frees what it holds; a process that exits
// meanwhile ends it.
//
// Threads: Start, Done and the destructor on the loop (the destructor also
// on the run's thread once the loop has stopped); Load on the reading
// thread, touching nothing of the run's.
class ConfigurationReader
{
public:
    // What the reading thread does: no I/O but the file, nothing shared.
    using Load = std::function<LoadedConfiguration()>;
    struct Result
    {
        LoadedConfiguration loaded;
        std::string failure; // what Load threw (std::bad_alloc); empty when it returned
    };
    using Done = std::function<void(Result)>;

    explicit ConfigurationReader(boost::asio::io_context& io);
    // Hands over nothing more, also of a read that has ended but whose
    // result waits on the loop.
    ~ConfigurationReader();
    ConfigurationReader(const ConfigurationReader&) = delete;
    ConfigurationReader& operator=(const ConfigurationReader&) = delete;

    // Runs `load` on a new thread; `done` runs on the loop with its result,
    // unless the reader has gone by then. Throws what starting a thread
    // throws (std::system_error), having started nothing.
    void Start(Load load, Done done);

private:
    // What the reader and its reading threads share: the loop, while the
    // reader is there.
    struct Channel;
    std::shared_ptr<Channel> channel;
};

} // namespace korvel
