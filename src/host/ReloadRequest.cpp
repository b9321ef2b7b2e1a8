#include "host/ReloadRequest.h"

#include <boost/asio/post.hpp>

#include <utility>

namespace korvel {

void ReloadRequest::Request()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (waiting)
        return;
    waiting = true;
    if (loop && !running)
        PostTake();
}

void ReloadRequest::Connect(boost::asio::io_context& io, std::function<void()> handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    loop = &io;
    reload = std::move(handler);
    running = false;
    if (waiting)
        PostTake();
}

void ReloadRequest::Disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    loop = nullptr;
    reload = nullptr;
    running = false;
}

void ReloadRequest::Finished()
{
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
    if (waiting && loop)
        PostTake();
}

void ReloadRequest::PostTake()
{
    boost::asio::post(*loop, [this] { Take(); });
}

void ReloadRequest::Take()
{
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Taken already (a Finished and a Connect may both have posted), or
        // the run has gone.
        if (!waiting || running || !reload)
            return;
        waiting = false;
        running = true;
        handler = reload;
    }
    // Without the lock: a request from the handler, or from another thread
    // meanwhile, waits until the reload has finished.
    handler();
}

} // namespace korvel
