#pragma once

#include <boost/asio/io_context.hpp>

#include <functional>
#include <mutex>

namespace korvel {

// A request to end a run, from any thread, carried to the run's I/O loop by
// posting the run's stop handler there. A request that comes before the run
// is connected waits for it; later requests are no news.
class StopRequest
{
public:
    StopRequest() = default;
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // Any thread.
    void Request();
    bool Requested() const;

    // The run: its loop and the handler that stops it there, posted at once
    // when the request has already come.
    void Connect(boost::asio::io_context& io, std::function<void()> stop);
    // The run: before its loop goes, nothing more is posted to it.
    void Disconnect();

private:
    // Guards the three fields below: the requesting thread meets the run's here.
    mutable std::mutex mutex;
    bool requested = false;
    boost::asio::io_context* loop = nullptr;
    std::function<void()> stop;
};

} // namespace korvel
