#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvel {

// Slows password guessing, and the log lines and audit records each guess
// writes, per client address. The first FreeFailures failed LOGINs within
// Window are answered at once, as an operator who mistypes expects. After
// them every further FAILURE to that address, over all its connections,
// waits its turn: one at a time, each a delay after the one before, the
// delay doubling from FirstDelay up to MaxDelay. A Window without a failure,
// or a LOGIN from the address that passes, forgets the address.
//
// Pure: no I/O, the time passed in. Memory stays bounded: an address is
// forgotten a Window after its last failure was answered, and at most
// MaxAddresses are tracked (the one quiet longest gives way to a new one),
// so that a flood from many addresses cannot grow it without end.
class LoginThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t FreeFailures = 5;
    static constexpr Clock::duration Window = std::chrono::minutes(1);
    static constexpr Clock::duration FirstDelay = std::chrono::seconds(1);
    static constexpr Clock::duration MaxDelay = std::chrono::seconds(30);
    static constexpr std::size_t MaxAddresses = 4096;

    // A LOGIN from the address failed at `now`: when its FAILURE may be
    // sent, none when at once.
    std::optional<Clock::time_point> Failed(const std::string& address, Clock::time_point now);
    // A LOGIN from the address passed.
    void Passed(const std::string& address);
    // Addresses with failures on record.
    std::size_t Tracked() const { return addresses.size(); }

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

    History& HistoryOf(const std::string& address, Clock::time_point now);
    void ForgetQuietAddresses(Clock::time_point now);

    std::unordered_map<std::string, History> addresses;
    Clock::time_point lastSweep{};
};

} // namespace korvel
