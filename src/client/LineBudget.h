#pragma once

#include "clock/TimeSource.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace korvel {

// How many lines of one kind a client address may have logged, so that one
// client cannot push everybody else's lines out of the log: the first
// PerWindow lines of the kind from an address within Window are logged, the
// next one with a note that the rest are not (WithNote), and the rest not
// at all until Window has passed since the first. A client that stays
// within the budget sees no change.
//
// Pure: no I/O, the time passed in. Memory stays bounded: an address is
// forgotten once its window has passed, and at most MaxAddresses are
// tracked (the one whose window began first gives way to a new one).
class LineBudget
{
public:
    using TimePoint = TimeSource::TimePoint;

    static constexpr std::size_t PerWindow = 10;
    static constexpr std::chrono::minutes Window{1};
    static constexpr std::size_t MaxAddresses = 4096;

    enum class Verdict
    {
        Log,
        LogWithNote, // the last line logged this window
        Skip,
    };
    Verdict Take(const std::string& address, TimePoint now);

    // The line, as logged with the note.
    static std::string WithNote(const std::string& line, const std::string& address);
    std::size_t Tracked() const { return addresses.size(); }

private:
    struct Tally
    {
        TimePoint began{}; // the window's start
        std::size_t lines = 0;
    };

    std::unordered_map<std::string, Tally> addresses;
    TimePoint lastSweep{};
};

} // namespace korvel
