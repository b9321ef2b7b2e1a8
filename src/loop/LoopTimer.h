#pragma once

#include "clock/TimeSource.h"
#include "loop/Lifetime.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace korvel {

// A timer of the I/O loop that keeps time on a TimeSource: the service's
// real one, or a test's simulated one that moves only when the test moves
// it. It behaves like a steady_timer with one wait at a time: setting the
// expiry again or cancelling ends the wait under way, whose handler then
// runs on the loop with operation_aborted; otherwise the handler runs on the
// loop, without an error, once the time source has reached the expiry.
//
// How it waits (see TimeSource.h): a steady_timer set to the alarm's real
// wait, and, on a simulated time source, the alarm's function, which posts
// the expiry to the loop from the thread that moves the time.
//
// Threads: everything on the I/O loop thread. Lifetime: a handler still
// queued when the timer goes is dropped unrun.
class LoopTimer
{
public:
    using Handler = std::function<void(const boost::system::error_code&)>;

    LoopTimer(boost::asio::io_context& io, TimeSource& time);
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    TimeSource& Time() const { return time; }

    void ExpiresAt(TimeSource::TimePoint deadline);
    void ExpiresAfter(TimeSource::Duration delay);
    // Waits for the expiry; one wait at a time.
    void AsyncWait(Handler handler);
    void Cancel();

private:
    void Expired(std::uint64_t wait);

    boost::asio::io_context& io;
    TimeSource& time;
    boost::asio::steady_timer realWait;
    TimeSource::TimePoint expiry{};
    std::unique_ptr<Alarm> alarm;
    Handler handler; // the wait under way, if any
    std::uint64_t waitsStarted = 0;
    Lifetime lifetime;
};

} // namespace korvel
