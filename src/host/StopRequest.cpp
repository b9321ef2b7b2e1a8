#include "host/StopRequest.h"

#include <boost/asio/post.hpp>

#include <utility>

namespace korvel {

void StopRequest::Request()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (requested)
        return;
    requested = true;
    if (loop)
        boost::asio::post(*loop, stop);
}

bool StopRequest::Requested() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return requested;
}

void StopRequest::Connect(boost::asio::io_context& io, std::function<void()> handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    loop = &io;
    stop = std::move(handler);
    if (requested)
        boost::asio::post(*loop, stop);
}

void StopRequest::Disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    loop = nullptr;
    stop = nullptr;
}

} // namespace korvel
