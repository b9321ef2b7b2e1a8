#pragma once

#include <string>
#include <vector>

namespace korvel {

// How a reload of the configuration went: the run logs the summary once the
// reload is done and gives it to the service manager as the service's status.
struct ReloadOutcome
{
    enum class Result
    {
        Applied, // the new configuration runs
        // The new configuration runs but for a listener that could not be
        // opened where it says: the old one is kept (or none runs), and the
        // summary says which.
        Partial,
        Refused, // the file would not start the service; the running configuration stays
    };

    Result result = Result::Applied;
    std::string summary; // one line
};

// "applied", "partial" or "refused": the result as the audit trail and the
// operations view name it.
const char* ResultName(ReloadOutcome::Result result);

// The summary of a refused reload.
constexpr const char* ReloadRefusedText =
    "Reload of tlKorvel.xml refused; keeping the running configuration.";

// The summary of a reload refused for a reason of its own, which the
// loader's lines do not give: "Reload of tlKorvel.xml refused; it is not a
// regular file; keeping the running configuration." ReloadRefusedText
// without one.
std::string ReloadRefusedSummary(const std::string& why);

// What an applied reload changed, as its summary counts it.
struct ReloadCounts
{
    int usersAdded = 0;
    int usersRemoved = 0;
    int camerasAdded = 0;
    int camerasRemoved = 0;
    int camerasChanged = 0;
    int nvrsChanged = 0;
    // What runs other than the file says, one clause each ("still listening
    // for KorvelControl sessions on A:P instead of B:Q"): a partial reload.
    std::vector<std::string> kept;
};

// "Reloaded tlKorvel.xml: 1 user added, 0 users removed, ..., 0 NVRs
// changed.", the kept clauses before the full stop, each after "; ".
std::string ReloadedSummary(const ReloadCounts& counts);

} // namespace korvel
