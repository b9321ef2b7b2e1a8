#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel {

// How many operator sessions may be live at once, and what is logged of the
// connections beyond; no I/O.
//
//   - A connection that arrives while Max() sessions are live is closed at
//     once, without a greeting. The first refusal of an episode is logged
//     ("Too many KorvelControl sessions (<live>): closing new connections at
//     once, the first from <address>"), and so is its end, once the count
//     has fallen a tenth below the cap (at least one), so that a flood, even
//     one that keeps opening and closing connections at the cap, costs two
//     lines.
//   - The cap is lowered when the process's descriptor limit cannot honour
//     it beside the descriptors the rest of the service needs.
class SessionCap
{
public:
    explicit SessionCap(std::size_t maxSessions) : max(maxSessions) {}

    // limit: the process's descriptor limit (0: unknown); reserve: the
    // descriptors the rest of the service needs. The line saying that the
    // cap was lowered; empty when it was not.
    std::string Configure(std::size_t maxSessions, std::uint64_t limit, std::uint64_t reserve);
    std::size_t Max() const { return max; }

    struct Arrival
    {
        bool admitted = true;
        std::string logLine;
    };
    Arrival Arrived(std::size_t live, const std::string& address);
    // A session ended and `live` are left: the episode's end line, if it ends.
    std::string Left(std::size_t live);

private:
    std::size_t max;
    bool refusing = false; // in an episode of refused connections
    std::uint64_t refusedInEpisode = 0;
};

} // namespace korvel
