#include "client/LineBudget.h"

#include <algorithm>

namespace korvel {

LineBudget::Verdict LineBudget::Take(const std::string& address, TimePoint now)
{
    // A sweep at most once a window: addresses whose window has passed go.
    if (now - lastSweep >= Window) {
        lastSweep = now;
        std::erase_if(addresses,
                      [now](const auto& entry) { return now - entry.second.began >= Window; });
    }
    auto found = addresses.find(address);
    if (found == addresses.end()) {
        if (addresses.size() >= MaxAddresses)
            addresses.erase(std::min_element(
                addresses.begin(), addresses.end(),
                [](const auto& a, const auto& b) { return a.second.began < b.second.began; }));
        found = addresses.emplace(address, Tally{now, 0}).first;
    } else if (now - found->second.began >= Window) {
        found->second = Tally{now, 0};
    }
    const std::size_t line = ++found->second.lines;
    if (line <= PerWindow)
        return Verdict::Log;
    if (line == PerWindow + 1)
        return Verdict::LogWithNote;
    found->second.lines = PerWindow + 2; // no wrap, however long the flood
    return Verdict::Skip;
}

std::string LineBudget::WithNote(const std::string& line, const std::string& address)
{
    return line + "; further lines of this kind from " + address +
           " not logged until a minute has passed";
}

} // namespace korvel
