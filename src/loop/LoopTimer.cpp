#include "loop/LoopTimer.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <utility>

namespace korvel {

LoopTimer::LoopTimer(boost::asio::io_context& io, TimeSource& time)
    : io(io), time(time), realWait(io)
{}

void LoopTimer::ExpiresAt(TimeSource::TimePoint deadline)
{
    Cancel();
    expiry = deadline;
}

void LoopTimer::ExpiresAfter(TimeSource::Duration delay)
{
    ExpiresAt(time.Now() + delay);
}

void LoopTimer::AsyncWait(Handler waiting)
{
    handler = std::move(waiting);
    const std::uint64_t wait = ++waitsStarted;
    // A simulated time source calls this from the thread that moves it.
    auto due = lifetime.Guard([this, wait] { Expired(wait); });
    alarm = time.SetAlarm(expiry, [&io = io, due]() mutable { boost::asio::post(io, due); });
    if (const auto real = alarm->RealWait()) {
        realWait.expires_after(*real);
        realWait.async_wait(lifetime.Guard([this, wait](const boost::system::error_code& error) {
            if (!error)
                Expired(wait);
        }));
    }
}

// As a steady_timer does: the handler of the wait under way runs from the
// loop, never from inside the call that cancelled it.
void LoopTimer::Cancel()
{
    if (!handler)
        return;
    ++waitsStarted;
    alarm.reset();
    realWait.cancel();
    boost::asio::post(io, lifetime.Guard([aborted = std::move(handler)] {
        aborted(boost::asio::error::operation_aborted);
    }));
    handler = nullptr;
}

void LoopTimer::Expired(std::uint64_t wait)
{
    if (wait != waitsStarted || !handler)
        return; // cancelled, or already expired through the other way of waiting
    alarm.reset();
    Handler expired = std::move(handler);
    handler = nullptr;
    expired(boost::system::error_code());
}

} // namespace korvel
