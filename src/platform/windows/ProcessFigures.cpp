#include "platform/ProcessFigures.h"

#include <windows.h>

#include <psapi.h>

namespace korvel {

namespace {

// A FILETIME counts 100 ns intervals; a point in time counts them from 1601.
constexpr double IntervalsPerSecond = 1e7;
constexpr double SecondsFrom1601To1970 = 11644473600.0;

double Seconds(const FILETIME& time)
{
    const std::uint64_t intervals =
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(intervals) / IntervalsPerSecond;
}

} // namespace

// Descriptors are the process's handles; Windows sets no per-process limit on
// them that it would report, so maxDescriptors stays 0.
ProcessFigures ReadProcessFigures()
{
    ProcessFigures figures;
    const HANDLE process = ::GetCurrentProcess();
    PROCESS_MEMORY_COUNTERS memory{};
    if (::GetProcessMemoryInfo(process, &memory, sizeof memory))
        figures.residentBytes = memory.WorkingSetSize;
    DWORD handles = 0;
    if (::GetProcessHandleCount(process, &handles))
        figures.openDescriptors = handles;
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (::GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
        figures.startTimeSeconds = Seconds(creation) - SecondsFrom1601To1970;
        figures.cpuSeconds = Seconds(kernel) + Seconds(user);
    }
    return figures;
}

} // namespace korvel
