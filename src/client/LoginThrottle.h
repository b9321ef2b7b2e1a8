#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvel {

// Slows password guessing, and the log lines and audit records each guess
// writes, per client address and user: failed LOGINs for a user's name count
// for that address and name, those for names no user has for the address
// alone. The first FreeFailures failed LOGINs of one count within Window are
// answered at once, as an operator who mistypes expects. After them every
// further FAILURE of that count, over all the address's connections, waits
// its turn: one at a time, each a delay after the one before, the delay
// doubling from FirstDelay up to MaxDelay. A Window without a failure, or a
// LOGIN from the address that passes as the user, forgets that count only.
// So a guesser slows nobody else's answers on its address (a NAT in front
// of the workstations), and an account of its own starts none of the other
// users' counts afresh.
//
// Pure: no I/O, the time passed in. Memory stays bounded: a count is
// forgotten a Window after its last failure was answered, and at most
// MaxTracked are kept (the one quiet longest gives way to a new one), so
// that a flood from many addresses cannot grow it without end; names that
// no user has are never kept.
class LoginThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t FreeFailures = 5;
    static constexpr Clock::duration Window = std::chrono::minutes(1);
    static constexpr Clock::duration FirstDelay = std::chrono::seconds(1);
    static constexpr Clock::duration MaxDelay = std::chrono::seconds(30);
    static constexpr std::size_t MaxTracked = 4096;

    // A LOGIN from the address failed at `now`, for the user (empty: for a
    // name no user has): when its FAILURE may be sent, none when at once.
    std::optional<Clock::time_point> Failed(const std::string& address, const std::string& user,
                                            Clock::time_point now);
    // A LOGIN from the address passed as the user.
    void Passed(const std::string& address, const std::string& user);
    // Counts with failures on record.
    std::size_t Tracked() const { return counts.size(); }

private:
    struct History
    {
        // The failures answered at once within the window, oldest first.
        std::array<Clock::time_point, FreeFailures> recent{};
        std::size_t recentCount = 0;
        // When the latest FAILURE to the address went, or is due to go.
        Clock::time_point lastReply{};
        // The delay of the next held-back FAILURE; zero until the address
        // is throttled.
        Clock::duration delay{};
    };

    // The address, and the user after a zero byte (which neither holds).
    static std::string Key(const std::string& address, const std::string& user);
    History& HistoryOf(const std::string& key, Clock::time_point now);
    void ForgetQuietCounts(Clock::time_point now);

    std::unordered_map<std::string, History> counts;
    Clock::time_point lastSweep{};
};

} // namespace korvel
