#pragma once

#include "Scenarios.h"

#include <string>
#include <vector>

namespace korvel {

enum class ScenarioKind
{
    ClosedLoop,
    OpenLoop,
    Crowd,
    FanOut,
    Idle,
    // The open-loop plan against the service polled for its status
    // (`service`) and not (`socat` holds the quiet runs).
    Polled,
    // The open-loop plan against the service under attack (`service`) and
    // not (`socat` holds the quiet runs), timed to the senders' notices.
    Attacked,
    // The open-loop plan against the service reloading its configuration
    // every second (`service`) and not (`socat` holds the quiet runs).
    Reloaded,
    // A camera on a slow line, steered at several rates.
    SlowLine,
    // The closed-loop plan against the service with directory accounts, a
    // directory LOGIN ten times a second beside it (`service`) and none
    // (`socat` holds the quiet runs).
    DirectoryLogins
};

// Every run of one scenario, against the service and (where it means
// something) against the plain relay.
struct ScenarioRecord
{
    ScenarioKind kind;
    std::string name;
    std::string description;
    std::vector<ScenarioResult> service;
    std::vector<ScenarioResult> socat;
};

// One line: the medians over the runs, the service/socat ratio of each
// latency figure (the median of the per-run ratios, each from one run), the
// frame counts summed over the runs, and whether the scenario's target holds.
std::string ResultLine(const ScenarioRecord& record);

} // namespace korvel
