#pragma once

#include <cstdint>

namespace korvel {

// What the system says of this process now; 0 where it says nothing.
struct ProcessFigures
{
    std::uint64_t residentBytes = 0;
    std::uint64_t openDescriptors = 0;
    std::uint64_t maxDescriptors = 0;
    double startTimeSeconds = 0; // since the epoch
    double cpuSeconds = 0;       // user and system
};

ProcessFigures ReadProcessFigures();

} // namespace korvel
