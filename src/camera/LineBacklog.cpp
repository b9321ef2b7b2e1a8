#include "camera/LineBacklog.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace korvel {

LineBacklog::LineBacklog(double bytesPerSecond, Probe probe)
    : bytesPerSecond(bytesPerSecond), probe(std::move(probe))
{}

// Rounded up, so that a wait of this length finds the bytes gone.
LineBacklog::Duration LineBacklog::LineTime(std::size_t bytes) const
{
    return TimeFor(static_cast<double>(bytes));
}

LineBacklog::Duration LineBacklog::TimeFor(double bytes) const
{
    if (!SpeedKnown() || bytes <= 0)
        return Duration::zero();
    const std::chrono::duration<double> seconds(bytes / bytesPerSecond);
    return Duration(static_cast<Duration::rep>(
        std::ceil(std::chrono::duration<double, Duration::period>(seconds).count())));
}

double LineBacklog::Modelled(TimePoint now) const
{
    if (!SpeedKnown() || modelBytes <= 0)
        return 0;
    const double drained = std::chrono::duration<double>(now - modelTime).count() * bytesPerSecond;
    // Less than a millionth of a byte is rounding, not a byte on the line.
    const double left = modelBytes - std::max(drained, 0.0);
    return left > 1e-6 ? left : 0;
}

void LineBacklog::Handed(TimePoint now, std::size_t bytes)
{
    modelBytes = Modelled(now) + static_cast<double>(bytes);
    modelTime = now;
    handedSince += bytes;
}

void LineBacklog::Reset()
{
    modelBytes = 0;
    reported = 0;
    handedSince = 0;
}

void LineBacklog::Ask()
{
    reported = probe().value_or(0);
    handedSince = 0;
}

LineBacklog::Duration LineBacklog::DrainTime(TimePoint now)
{
    double bytes = Modelled(now);
    if (probe && static_cast<double>(reported + handedSince) > bytes) {
        Ask();
        // The system holds more than the line should: it is behind (a
        // pause on the line, a network slower than the line).
        if (static_cast<double>(reported) > bytes) {
            bytes = static_cast<double>(reported);
            modelBytes = bytes;
            modelTime = now;
        }
    }
    return TimeFor(bytes);
}

std::size_t LineBacklog::Held(std::size_t limit)
{
    if (!probe)
        return 0;
    if (reported + handedSince > limit)
        Ask();
    return reported + handedSince;
}

} // namespace korvel
