#pragma once

#include "clock/TimeSource.h"

#include <algorithm>

namespace korvel {

// The real time source: the monotonic system clock. Stateless, so one
// instance serves every thread.
class SteadyTime final : public TimeSource
{
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }

    std::unique_ptr<Alarm> SetAlarm(TimePoint deadline, std::function<void()>) override
    {
        return std::make_unique<SteadyAlarm>(deadline);
    }

private:
    class SteadyAlarm final : public Alarm
    {
    public:
        explicit SteadyAlarm(TimePoint deadline) : deadline(deadline) {}

        std::optional<Duration> RealWait() const override
        {
            return std::max(deadline - std::chrono::steady_clock::now(), Duration::zero());
        }

    private:
        TimePoint deadline;
    };
};

// The program's real time source.
inline TimeSource& RealTime()
{
    static SteadyTime time;
    return time;
}

} // namespace korvel
