#include "host/ConfigurationReader.h"

#include <boost/asio/post.hpp>

#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace korvel {

struct ConfigurationReader::Channel
{
    std::mutex mutex; // guards loop
    boost::asio::io_context* loop = nullptr;

    // Any thread: whether the reader is still there. On the loop, a true
    // answer holds until the handler returns (the reader goes on the loop).
    bool Open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return loop != nullptr;
    }
};

ConfigurationReader::ConfigurationReader(boost::asio::io_context& io)
    : channel(std::make_shared<Channel>())
{
    channel->loop = &io;
}

ConfigurationReader::~ConfigurationReader()
{
    std::lock_guard<std::mutex> lock(channel->mutex);
    channel->loop = nullptr;
}

void ConfigurationReader::Start(Load load, Done done)
{
    std::thread reading([channel = channel, load = std::move(load),
                         done = std::move(done)]() mutable {
        Result result;
        try {
            result.loaded = load();
        } catch (const std::exception& error) {
            result.failure = error.what();
        } catch (...) {
            result.failure = "unknown exception";
        }
        std::lock_guard<std::mutex> lock(channel->mutex);
        if (!channel->loop)
            return;
        boost::asio::post(*channel->loop,
                          [channel, done = std::move(done), result = std::move(result)]() mutable {
                              if (channel->Open())
                                  done(std::move(result));
                          });
    });
    reading.detach();
}

} // namespace korvel
