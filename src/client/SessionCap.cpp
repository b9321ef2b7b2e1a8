#include "client/SessionCap.h"

namespace korvel {

std::string SessionCap::Configure(std::size_t maxSessions, std::uint64_t limit,
                                  std::uint64_t reserve)
{
    max = maxSessions;
    // A cap the descriptor limit cannot honour would let a flood of
    // connections starve the cameras and NVRs of descriptors after all.
    if (limit == 0 || max == 0 || max + reserve <= limit)
        return {};
    const std::size_t allowed = limit > reserve + 1 ? static_cast<std::size_t>(limit - reserve) : 1;
    std::string line = "MaxSessions=" + std::to_string(max) +
                       " needs more descriptors than the limit of " + std::to_string(limit) +
                       " leaves; accepting at most " + std::to_string(allowed) +
                       " operator sessions";
    max = allowed;
    return line;
}

SessionCap::Arrival SessionCap::Arrived(std::size_t live, const std::string& address)
{
    Arrival arrival;
    if (live < max)
        return arrival;
    arrival.admitted = false;
    if (!refusing) {
        refusing = true;
        arrival.logLine = "Too many KorvelControl sessions (" + std::to_string(live) +
                          "): closing new connections at once, the first from " +
                          (address.empty() ? std::string("an unknown address") : address);
    }
    ++refusedInEpisode;
    return arrival;
}

std::string SessionCap::Left(std::size_t live)
{
    const std::size_t lowWater = max > 0 ? max - 1 - max / 10 : 0;
    if (!refusing || live > lowWater)
        return {};
    std::string line = "Accepting KorvelControl connections again; " +
                       std::to_string(refusedInEpisode) +
                       " closed while there were too many sessions";
    refusing = false;
    refusedInEpisode = 0;
    return line;
}

} // namespace korvel
