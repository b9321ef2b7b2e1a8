#include "client/LoginThrottle.h"

#include <algorithm>

namespace korvel {

std::string LoginThrottle::Key(const std::string& address, const std::string& user)
{
    std::string key = address;
    if (!user.empty()) {
        key += '\0';
        key += user;
    }
    return key;
}

std::optional<LoginThrottle::Clock::time_point>
LoginThrottle::Failed(const std::string& address, const std::string& user, Clock::time_point now)
{
    History& history = HistoryOf(Key(address, user), now);
    if (history.delay == Clock::duration::zero()) {
        // Failures that left the window no longer count.
        std::size_t stale = 0;
        while (stale < history.recentCount && history.recent[stale] <= now - Window)
            ++stale;
        std::copy(history.recent.begin() + static_cast<std::ptrdiff_t>(stale),
                  history.recent.begin() + static_cast<std::ptrdiff_t>(history.recentCount),
                  history.recent.begin());
        history.recentCount -= stale;
        if (history.recentCount < FreeFailures) {
            history.recent[history.recentCount++] = now;
            history.lastReply = now;
            return std::nullopt;
        }
        history.delay = FirstDelay;
        history.recentCount = 0;
    }
    const Clock::time_point due = std::max(now, history.lastReply) + history.delay;
    history.delay = std::min(history.delay * 2, MaxDelay);
    history.lastReply = due;
    return due;
}

void LoginThrottle::Passed(const std::string& address, const std::string& user)
{
    if (!user.empty())
        counts.erase(Key(address, user));
}

LoginThrottle::History& LoginThrottle::HistoryOf(const std::string& key, Clock::time_point now)
{
    ForgetQuietCounts(now);
    const auto found = counts.find(key);
    if (found != counts.end()) {
        if (now - found->second.lastReply >= Window)
            found->second = History{}; // a quiet window: the address starts afresh
        return found->second;
    }
    if (counts.size() >= MaxTracked) {
        const auto quietest =
            std::min_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                return a.second.lastReply < b.second.lastReply;
            });
        counts.erase(quietest);
    }
    return counts[key];
}

// A sweep at most once a window: counts quiet for a whole window go.
void LoginThrottle::ForgetQuietCounts(Clock::time_point now)
{
    if (now - lastSweep < Window)
        return;
    lastSweep = now;
    std::erase_if(counts,
                  [now](const auto& entry) { return now - entry.second.lastReply >= Window; });
}

} // namespace korvel
