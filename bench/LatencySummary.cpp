#include "LatencySummary.h"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {

std::int64_t Rank(const std::vector<std::int64_t>& sorted, double fraction)
{
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

} // namespace

LatencySummary Summarise(std::vector<std::int64_t> samples)
{
    LatencySummary summary;
    if (samples.empty())
        return summary;
    std::sort(samples.begin(), samples.end());
    summary.samples = samples.size();
    summary.p50 = Rank(samples, 0.50);
    summary.p90 = Rank(samples, 0.90);
    summary.p99 = Rank(samples, 0.99);
    summary.max = samples.back();
    return summary;
}

} // namespace korvel
