#pragma once

#include "client/ConnectionTable.h"
#include "clock/TimeSource.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace korvel {

// How many operator sessions may be live at once, who gives way to a
// newcomer, and what is logged of it; no I/O, the time passed in.
//
//   - A connection that arrives while Max() sessions are live takes the
//     place of one that has not logged in: of the address that holds the
//     most such connections, the one idle longest (since its greeting or its
//     last message; between addresses that hold as many, the one idle
//     longest of them). That connection is closed, without a line, as a
//     refused one is; a logged-in session never gives way. With every place
//     held by a logged-in session, the newcomer is closed at once, without
//     a greeting. So a flood of connections from one address, however many,
//     keeps no workstation that logs in from being served.
//   - The first arrival of an episode at the cap is logged ("Too many
//     KorvelControl sessions (<live>): closing new connections at once, the
//     first from <address>"), and so is its end, with the connections closed
//     in it (refused or giving way), once the count has fallen a tenth below
//     the cap (at least one), so that a flood, even one that keeps opening
//     and closing connections at the cap, costs two lines.
//   - The cap is lowered when the process's descriptor limit cannot honour
//     it beside the descriptors the rest of the service needs.
//
// The registry tells it which connections may give way (Waiting) and which
// no longer may (Served), from the connection table's facts. Memory: one
// entry per live connection that has not logged in.
class SessionCap
{
public:
    using TimePoint = TimeSource::TimePoint;

    explicit SessionCap(std::size_t maxSessions) : max(maxSessions) {}

    // limit: the process's descriptor limit (0: unknown); reserve: the
    // descriptors the rest of the service needs. The line saying that the
    // cap was lowered; empty when it was not.
    std::string Configure(std::size_t maxSessions, std::uint64_t limit, std::uint64_t reserve);
    std::size_t Max() const { return max; }

    // The connection has not logged in and has been idle since then: it may
    // give way to a newcomer. Again with a later time when it sends a message.
    void Waiting(ConnectionId id, const std::string& address, TimePoint idleSince);
    // It logged in: it keeps its place.
    void Served(ConnectionId id);

    struct Arrival
    {
        bool admitted = true;
        // Admitted in the place of this connection, which is to be closed.
        ConnectionId evict = NoConnection;
        std::string logLine;
    };
    // `live`: the sessions in the table, those still closing for a
    // newcomer included (they do not count).
    Arrival Arrived(std::size_t live, const std::string& address);
    // A session has left the table, and `live` are left: the episode's end
    // line, if it ends.
    std::string Left(ConnectionId id, std::size_t live);

    // Connections that may give way now.
    std::size_t WaitingCount() const { return waiting.size(); }

private:
    // An address's connections that may give way, idle longest first (of
    // those idle since one moment, the one told first).
    using Group = std::set<std::tuple<TimePoint, std::uint64_t, ConnectionId>>;
    // Groups ranked: the largest first, then the one whose first has been
    // idle longest.
    struct Rank
    {
        std::size_t size;
        TimePoint idlest;
        const std::string* address;
        bool operator<(const Rank& other) const;
    };
    struct Entry
    {
        std::map<std::string, Group>::iterator group;
        TimePoint idleSince;
        std::uint64_t told;
    };

    void Remove(ConnectionId id);
    Rank RankOf(const std::map<std::string, Group>::iterator& group) const;

    std::size_t max;
    bool refusing = false; // in an episode at the cap
    std::uint64_t closedInEpisode = 0;
    std::unordered_map<ConnectionId, Entry> waiting;
    std::map<std::string, Group> groups;
    std::set<Rank> ranking;
    std::uint64_t told = 0; // Waiting calls so far
    // Closed to make room; still in the table until their end is reported.
    std::unordered_set<ConnectionId> givingWay;
};

} // namespace korvel
