#pragma once

// The calendar time that records and the status page show, given to the code
// that needs it as the time source is (TimeSource.h), so that a test can set
// it too (tests/support/SimulatedTime.h). Waits and deadlines never use it:
// it may jump.
#include <chrono>

namespace korvel {

class WallClock
{
public:
    using TimePoint = std::chrono::system_clock::time_point;

    virtual ~WallClock() = default;
    virtual TimePoint Now() const = 0;
};

// The system's clock. Stateless, so one instance serves every thread.
class SystemWallClock final : public WallClock
{
public:
    TimePoint Now() const override { return std::chrono::system_clock::now(); }
};

// The program's real calendar time.
inline WallClock& RealWallClock()
{
    static SystemWallClock clock;
    return clock;
}

} // namespace korvel
