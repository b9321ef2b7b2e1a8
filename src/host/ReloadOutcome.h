#pragma once

#include <string>

namespace korvel {

// How a reload of the configuration went: the run logs the summary once the
// reload is done and gives it to the service manager as the service's status.
struct ReloadOutcome
{
    enum class Result
    {
        Applied, // the new configuration runs
        Refused, // the file would not start the service; the running configuration stays
    };

    Result result = Result::Applied;
    std::string summary; // one line
};

// The summary of a refused reload.
constexpr const char* ReloadRefusedText =
    "Reload of tlKorvel.xml refused; keeping the running configuration.";

// What an applied reload changed, as its summary counts it.
struct ReloadCounts
{
    int usersAdded = 0;
    int usersRemoved = 0;
    int camerasAdded = 0;
    int camerasRemoved = 0;
    int camerasChanged = 0;
    int nvrsChanged = 0;
};

// "Reloaded tlKorvel.xml: 1 user added, 0 users removed, ..., 0 NVRs changed."
std::string ReloadedSummary(const ReloadCounts& counts);

} // namespace korvel
