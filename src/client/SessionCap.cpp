#include "client/SessionCap.h"

#include <tuple>

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

bool SessionCap::Rank::operator<(const Rank& other) const
{
    // The largest first, then the idlest; the address only tells ranks apart.
    return std::tie(other.size, idlest, *address) < std::tie(size, other.idlest, *other.address);
}

SessionCap::Rank SessionCap::RankOf(const std::map<std::string, Group>::iterator& group) const
{
    return {group->second.size(), std::get<0>(*group->second.begin()), &group->first};
}

void SessionCap::Waiting(ConnectionId id, const std::string& address, TimePoint idleSince)
{
    if (givingWay.count(id) > 0)
        return;
    Remove(id);
    const auto group = groups.try_emplace(address).first;
    if (!group->second.empty())
        ranking.erase(RankOf(group));
    group->second.emplace(idleSince, ++told, id);
    ranking.insert(RankOf(group));
    waiting.emplace(id, Entry{group, idleSince, told});
}

void SessionCap::Served(ConnectionId id)
{
    Remove(id);
}

void SessionCap::Remove(ConnectionId id)
{
    const auto entry = waiting.find(id);
    if (entry == waiting.end())
        return;
    const auto group = entry->second.group;
    ranking.erase(RankOf(group));
    group->second.erase({entry->second.idleSince, entry->second.told, id});
    if (group->second.empty())
        groups.erase(group);
    else
        ranking.insert(RankOf(group));
    waiting.erase(entry);
}

SessionCap::Arrival SessionCap::Arrived(std::size_t live, const std::string& address)
{
    Arrival arrival;
    const std::size_t counted = live - givingWay.size();
    if (counted < max)
        return arrival;
    if (!refusing) {
        refusing = true;
        arrival.logLine = "Too many KorvelControl sessions (" + std::to_string(counted) +
                          "): closing new connections at once, the first from " +
                          (address.empty() ? std::string("an unknown address") : address);
    }
    ++closedInEpisode;
    if (ranking.empty()) {
        arrival.admitted = false;
        return arrival;
    }
    arrival.evict = std::get<2>(*groups.find(*ranking.begin()->address)->second.begin());
    Remove(arrival.evict);
    givingWay.insert(arrival.evict);
    return arrival;
}

std::string SessionCap::Left(ConnectionId id, std::size_t live)
{
    Remove(id);
    givingWay.erase(id);
    const std::size_t counted = live - givingWay.size();
    const std::size_t lowWater = max > 0 ? max - 1 - max / 10 : 0;
    if (!refusing || counted > lowWater)
        return {};
    std::string line = "Accepting KorvelControl connections again; " +
                       std::to_string(closedInEpisode) +
                       " closed while there were too many sessions";
    refusing = false;
    closedInEpisode = 0;
    return line;
}

} // namespace korvel
