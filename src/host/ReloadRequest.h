#pragma once

#include <boost/asio/io_context.hpp>

#include <functional>
#include <mutex>

namespace korvel {

// A request to reload the configuration, from any thread, carried to the
// run's I/O loop by posting the run's reload handler there; the loop runs
// one reload at a time.
//
// A reload runs from the handler's start until the run says it has finished
// (Finished, on the loop), which may be later than the handler's return: a
// reload reads its file away from the loop. A request waits until the loop
// takes it. Requests that come while one waits are merged into it; a request
// that comes while a reload runs waits until it has finished. So every
// request is followed by a reload that starts after it, and several requests
// during one reload make one reload after it. A request that comes before
// the run is connected waits for it.
class ReloadRequest
{
public:
    ReloadRequest() = default;
    ReloadRequest(const ReloadRequest&) = delete;
    ReloadRequest& operator=(const ReloadRequest&) = delete;

    // Any thread.
    void Request();

    // The run: its loop and the handler that reloads there, posted at once
    // when a request waits.
    void Connect(boost::asio::io_context& io, std::function<void()> reload);
    // The run: before its loop goes, nothing more is posted to it.
    void Disconnect();
    // The loop: the reload the handler started is done; a request that
    // waits is taken next.
    void Finished();

private:
    // On the loop: takes the waiting request and runs the handler.
    void Take();
    // With the mutex held.
    void PostTake();

    // Guards the fields below: the requesting thread meets the run's here.
    std::mutex mutex;
    bool waiting = false;
    bool running = false; // from the handler's start until Finished
    boost::asio::io_context* loop = nullptr;
    std::function<void()> reload;
};

} // namespace korvel
