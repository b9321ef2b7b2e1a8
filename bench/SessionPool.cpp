#include "SessionPool.h"

#include <boost/asio/executor_work_guard.hpp>

#include <memory>

namespace korvel {

using Clock = std::chrono::steady_clock;

bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done,
              Clock::duration timeout)
{
    // Keeps run_one_until waiting for the deadline when nothing is pending,
    // instead of returning at once.
    auto work = boost::asio::make_work_guard(io);
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        io.run_one_until(deadline);
    }
    return true;
}

void RunFor(boost::asio::io_context& io, Clock::duration duration)
{
    RunUntil(
        io, [] { return false; }, duration);
}

std::size_t ConnectAll(boost::asio::io_context& io, OperatorLinks& links, std::size_t first,
                       std::size_t parallel, Clock::duration timeout)
{
    // Shared with the links' callbacks, which may come after a timeout here.
    struct Progress
    {
        std::size_t inFlight = 0;
        std::size_t settled = 0;
    };
    const auto progress = std::make_shared<Progress>();
    const auto deadline = Clock::now() + timeout;
    const std::size_t total = links.size() - first;
    std::size_t next = first;

    const auto startMore = [&] {
        while (progress->inFlight < parallel && next < links.size()) {
            ++progress->inFlight;
            links[next++]->Start(deadline, [progress] {
                --progress->inFlight;
                ++progress->settled;
            });
        }
    };
    RunUntil(
        io,
        [&] {
            startMore();
            return progress->settled == total;
        },
        timeout);

    std::size_t ready = 0;
    for (std::size_t i = first; i < links.size(); ++i)
        if (links[i]->Ready())
            ++ready;
    return ready;
}

} // namespace korvel
