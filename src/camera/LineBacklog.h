#pragma once

#include "clock/TimeSource.h"

#include <cstddef>
#include <functional>
#include <optional>

namespace korvel {

// What a camera's transport still holds of the bytes handed to it, and how
// long the line needs to carry that. Two sources:
//
//   - the line's speed, when it is known (a serial line's baud rate and
//     character format, or the line behind a terminal server): the bytes
//     handed over drain at that speed, wherever the system keeps them (a
//     serial driver, a pseudo-terminal, a terminal server's socket), which
//     the service cannot always see;
//   - what the system says it holds (a serial port's output queue, a
//     socket's unsent bytes), asked through the probe only when the answer
//     could change the figure: the system holds at most what it said last,
//     plus what was handed over since.
//
// The larger of the two counts. Without the speed, the system's word alone.
// No I/O of its own; time is passed in. Runs on the I/O loop thread.
class LineBacklog
{
public:
    using TimePoint = TimeSource::TimePoint;
    using Duration = TimeSource::Duration;
    // The bytes the system holds now; none when it cannot say.
    using Probe = std::function<std::optional<std::size_t>()>;

    // bytesPerSecond 0: the speed is not known. An empty probe: the system
    // is never asked (it cannot say).
    LineBacklog(double bytesPerSecond, Probe probe);

    bool SpeedKnown() const { return bytesPerSecond > 0; }
    // How long the line needs for `bytes` (speed known).
    Duration LineTime(std::size_t bytes) const;

    // The transport took these bytes.
    void Handed(TimePoint now, std::size_t bytes);
    // A new transport: it holds nothing yet.
    void Reset();

    // Speed known: how long the line needs for what it holds now.
    Duration DrainTime(TimePoint now);
    // What the system holds now, exact when it may be more than `limit`
    // (the system is asked then); 0 when it cannot say.
    std::size_t Held(std::size_t limit);

private:
    double Modelled(TimePoint now) const;
    Duration TimeFor(double bytes) const;
    void Ask();

    double bytesPerSecond;
    Probe probe;
    // The model: bytes on the line as of modelTime.
    double modelBytes = 0;
    TimePoint modelTime{};
    // The system's last word, and what was handed over since.
    std::size_t reported = 0;
    std::size_t handedSince = 0;
};

} // namespace korvel
