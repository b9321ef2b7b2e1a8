#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace korvel {

// How long the machine itself stopped running the bench during a run. On a
// virtual machine whose host takes its processors away (for a CPU quota,
// say) every process stalls at once, for tens of milliseconds: such a run's
// tail latencies measure the host, not the relay.
struct MachinePauses
{
    std::size_t count = 0;         // pauses longer than Threshold
    std::int64_t longestNanos = 0; // the longest wake-up gap seen
};

// A thread that sleeps a millisecond at a time and records how late it
// wakes. It costs next to nothing; a busy bench thread on the same processor
// delays it by a scheduler slice at most, far below the threshold.
class MachinePauseProbe
{
public:
    static constexpr std::int64_t ThresholdNanos = 20'000'000;

    MachinePauseProbe();
    ~MachinePauseProbe();
    MachinePauseProbe(const MachinePauseProbe&) = delete;
    MachinePauseProbe& operator=(const MachinePauseProbe&) = delete;

    // What was seen since construction; stops the thread.
    MachinePauses Finish();

private:
    std::atomic<std::size_t> count_{0};
    std::atomic<std::int64_t> longest_{0};
    std::jthread thread_;
};

} // namespace korvel
