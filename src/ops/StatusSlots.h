#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// Who keeps a place on the status server: at most `capacity` connections,
// at most `perAddress` of them from one client address. A connection beyond
// either bound takes the place of the connection idle longest (of its own
// address when that address has all it may have, else of all), so that a
// client holding connections open cannot keep another from the server.
//
// Pure: no I/O, the time passed in.
class StatusSlots
{
public:
    using Clock = std::chrono::steady_clock;
    using Id = std::uint64_t;

    StatusSlots(std::size_t capacity, std::size_t perAddress);

    struct Admission
    {
        Id id;                    // the new connection's
        std::optional<Id> closed; // the connection to close to make room
    };
    // A connection from the address was accepted at `now`.
    Admission Admit(const std::string& address, Clock::time_point now);
    // The connection read a request or wrote an answer: it is busy, not idle.
    void Touch(Id id, Clock::time_point now);
    // The connection is gone; an id no longer held is ignored.
    void Remove(Id id);
    std::size_t Size() const { return slots.size(); }

private:
    struct Slot
    {
        Id id;
        std::string address;
        Clock::time_point lastActive;
    };
    // The slot idle longest among those the predicate picks, if any.
    template <typename Picks>
    std::optional<std::size_t> IdleLongest(Picks picks) const;

    std::size_t capacity;
    std::size_t perAddress;
    std::vector<Slot> slots;
    Id nextId = 1;
};

} // namespace korvel
