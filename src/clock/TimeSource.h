#pragma once

// The one clock of the program's waits and timers. Code that waits for a
// deadline is handed a TimeSource instead of reading std::chrono::steady_clock
// itself, so that a test can run it on simulated time that moves only when
// the test says so (tests/support/SimulatedTime.h).
//
// A waiter asks the time source for an Alarm at its deadline and then blocks
// in its own way: a thread on its descriptors (the NVR workers), an I/O loop
// on a timer of its own. The alarm tells how long that block may last in
// real time; a simulated time source instead calls the alarm's function when
// it is moved past the deadline, and the function wakes the waiter. Either
// way the waiter then looks at Now() again. So a loop timer is a steady_timer
// that expires after Alarm::RealWait(), or never when that is empty, and whose
// alarm function posts the same expiry to the loop.
//
// No Boost here: the configuration and the pure cores may use it as well.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace korvel {

// A deadline watched on a time source. Destroying it ends the watch: its
// function is not called afterwards, nor while the destructor runs.
class Alarm
{
public:
    virtual ~Alarm() = default;

    // How long the waiter may block in real time before it must look at the
    // time source again; empty when the time source calls the alarm's
    // function itself (the waiter then blocks until woken).
    virtual std::optional<std::chrono::steady_clock::duration> RealWait() const = 0;
};

class TimeSource
{
public:
    using Duration = std::chrono::steady_clock::duration;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~TimeSource() = default;

    // Monotonic: never goes back.
    virtual TimePoint Now() const = 0;

    // Watches for `deadline`. `due` is called at most once, on whichever thread
    // moves a simulated time source to or past the deadline; the real one
    // never calls it. It must be quick and must not call the time source (it
    // typically wakes the waiter).
    virtual std::unique_ptr<Alarm> SetAlarm(TimePoint deadline, std::function<void()> due) = 0;
};

} // namespace korvel
