#include "host/ReloadOutcome.h"

namespace korvel {

namespace {

std::string Count(int count, const char* thing, const char* change)
{
    return std::to_string(count) + " " + thing + (count == 1 ? " " : "s ") + change;
}

} // namespace

std::string ReloadedSummary(const ReloadCounts& counts)
{
    return "Reloaded tlKorvel.xml: " + Count(counts.usersAdded, "user", "added") + ", " +
           Count(counts.usersRemoved, "user", "removed") + ", " +
           Count(counts.camerasAdded, "camera", "added") + ", " +
           Count(counts.camerasRemoved, "camera", "removed") + ", " +
           Count(counts.camerasChanged, "camera", "changed") + ", " +
           Count(counts.nvrsChanged, "NVR", "changed") + ".";
}

} // namespace korvel
