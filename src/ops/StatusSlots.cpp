#include "ops/StatusSlots.h"

#include <algorithm>

namespace korvel {

StatusSlots::StatusSlots(std::size_t capacity, std::size_t perAddress)
    : capacity(capacity), perAddress(perAddress)
{}

std::size_t StatusSlots::Held(const std::string& address) const
{
    return static_cast<std::size_t>(std::count_if(
        slots.begin(), slots.end(), [&](const Slot& slot) { return slot.address == address; }));
}

std::optional<std::size_t> StatusSlots::PlaceFor(const std::string& address) const
{
    const bool ownFull = Held(address) >= perAddress;
    std::optional<std::size_t> found;
    std::size_t foundHeld = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const Slot& slot = slots[i];
        if (slot.busy || (ownFull && slot.address != address))
            continue;
        const std::size_t held = ownFull ? 0 : Held(slot.address);
        if (!found || held > foundHeld ||
            (held == foundHeld && slot.lastActive < slots[*found].lastActive)) {
            found = i;
            foundHeld = held;
        }
    }
    return found;
}

StatusSlots::Admission StatusSlots::Admit(const std::string& address, Clock::time_point now)
{
    Admission admission;
    if (Held(address) >= perAddress || slots.size() >= capacity) {
        const std::optional<std::size_t> place = PlaceFor(address);
        if (!place)
            return admission;
        admission.closed = slots[*place].id;
        slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(*place));
    }
    admission.id = nextId++;
    slots.push_back({admission.id, address, now});
    return admission;
}

void StatusSlots::Mark(Id id, bool busy, Clock::time_point now)
{
    for (Slot& slot : slots) {
        if (slot.id == id) {
            slot.busy = busy;
            slot.lastActive = now;
        }
    }
}

void StatusSlots::RequestRead(Id id, Clock::time_point now)
{
    Mark(id, true, now);
}

void StatusSlots::Answered(Id id, Clock::time_point now)
{
    Mark(id, false, now);
}

void StatusSlots::Remove(Id id)
{
    std::erase_if(slots, [id](const Slot& slot) { return slot.id == id; });
}

} // namespace korvel
