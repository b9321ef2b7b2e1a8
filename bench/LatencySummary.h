#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

// Percentiles of one set of latency samples, in nanoseconds (nearest rank).
struct LatencySummary
{
    std::size_t samples = 0;
    std::int64_t p50 = 0;
    std::int64_t p90 = 0;
    std::int64_t p99 = 0;
    std::int64_t max = 0;
};

LatencySummary Summarise(std::vector<std::int64_t> samples);

} // namespace korvel
