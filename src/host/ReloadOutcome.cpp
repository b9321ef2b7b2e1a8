#include "host/ReloadOutcome.h"

namespace korvel {

namespace {

std::string Count(int count, const char* thing, const char* change)
{
    return std::to_string(count) + " " + thing + (count == 1 ? " " : "s ") + change;
}

} // namespace

const char* ResultName(ReloadOutcome::Result result)
{
    switch (result) {
    case ReloadOutcome::Result::Applied:
        break;
    case ReloadOutcome::Result::Partial:
        return "partial";
    case ReloadOutcome::Result::Refused:
        return "refused";
    }
    return "applied";
}

std::string ReloadRefusedSummary(const std::string& why)
{
    if (why.empty())
        return ReloadRefusedText;
    return "Reload of tlKorvel.xml refused; " + why + "; keeping the running configuration.";
}

std::string ReloadedSummary(const ReloadCounts& counts)
{
    std::string summary = "Reloaded tlKorvel.xml: " + Count(counts.usersAdded, "user", "added") +
                          ", " + Count(counts.usersRemoved, "user", "removed") + ", " +
                          Count(counts.camerasAdded, "camera", "added") + ", " +
                          Count(counts.camerasRemoved, "camera", "removed") + ", " +
                          Count(counts.camerasChanged, "camera", "changed") + ", " +
                          Count(counts.nvrsChanged, "NVR", "changed");
    for (const std::string& clause : counts.kept)
        summary.append("; ").append(clause);
    return summary + ".";
}

} // namespace korvel
