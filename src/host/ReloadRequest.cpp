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
    if (loop)
        PostTake();
}

void ReloadRequest::Connect(boost::asio::io_context& io, std::function<void()> handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    loop = &io;
    reload = std::move(handler);
    if (waiting)
        PostTake();
}

void ReloadRequest::Disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    loop = nullptr;
    reload = nullptr;
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
        waiting = false;
        handler = reload;
    }
    // Without the lock: a request from the handler, or from another thread
    // meanwhile, waits for the next turn.
    if (handler)
        handler();
}

} // namespace korvel
