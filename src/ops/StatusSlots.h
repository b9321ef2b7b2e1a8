#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// Who keeps a place on the status server: at most `capacity` connections,
// at most `perAddress` of them from one client address.
//
//   - A connection beyond either bound takes the place of an idle
//     connection, one that waits for its next request: of its own address
//     when that address has all it may have, else of the address that holds
//     the most places; among those, the one idle longest. So a client that
//     holds connections open cannot keep another from the server, and
//     clients that reconnect from other addresses take each other's places
//     rather than that of a client keeping one connection alive between its
//     polls.
//   - A connection whose request is being answered (from its request read
//     until its answer is written) is never closed to make room. When every
//     connection the newcomer could take the place of is busy so, the
//     newcomer is turned away.
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
        Id id = 0;                // the new connection's; 0 when it is turned away
        std::optional<Id> closed; // the connection to close to make room
        bool Admitted() const { return id != 0; }
    };
    // A connection from the address was accepted at `now`; it waits for its
    // first request.
    Admission Admit(const std::string& address, Clock::time_point now);
    // The connection read a request: busy until its answer is written.
    void RequestRead(Id id, Clock::time_point now);
    // The connection's answer is written: idle, waiting for its next request.
    void Answered(Id id, Clock::time_point now);
    // The connection is gone; an id no longer held is ignored.
    void Remove(Id id);
    std::size_t Size() const { return slots.size(); }

private:
    struct Slot
    {
        Id id;
        std::string address;
        Clock::time_point lastActive;
        bool busy = false;
    };
    // The place to take for a newcomer from the address, if any.
    std::optional<std::size_t> PlaceFor(const std::string& address) const;
    std::size_t Held(const std::string& address) const;
    void Mark(Id id, bool busy, Clock::time_point now);

    std::size_t capacity;
    std::size_t perAddress;
    std::vector<Slot> slots;
    Id nextId = 1;
};

} // namespace korvel
