#include "ops/StatusSlots.h"

#include <algorithm>

namespace korvel {

StatusSlots::StatusSlots(std::size_t capacity, std::size_t perAddress)
    : capacity(capacity), perAddress(perAddress)
{}

template <typename Picks>
std::optional<std::size_t> StatusSlots::IdleLongest(Picks picks) const
{
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (picks(slots[i]) && (!found || slots[i].lastActive < slots[*found].lastActive))
            found = i;
    return found;
}

StatusSlots::Admission StatusSlots::Admit(const std::string& address, Clock::time_point now)
{
    const auto sameAddress = std::count_if(
        slots.begin(), slots.end(), [&](const Slot& slot) { return slot.address == address; });
    std::optional<std::size_t> victim;
    if (static_cast<std::size_t>(sameAddress) >= perAddress)
        victim = IdleLongest([&](const Slot& slot) { return slot.address == address; });
    else if (slots.size() >= capacity)
        victim = IdleLongest([](const Slot&) { return true; });

    Admission admission{nextId++, std::nullopt};
    if (victim) {
        admission.closed = slots[*victim].id;
        slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(*victim));
    }
    slots.push_back({admission.id, address, now});
    return admission;
}

void StatusSlots::Touch(Id id, Clock::time_point now)
{
    for (Slot& slot : slots)
        if (slot.id == id)
            slot.lastActive = now;
}

void StatusSlots::Remove(Id id)
{
    std::erase_if(slots, [id](const Slot& slot) { return slot.id == id; });
}

} // namespace korvel
