#pragma once

#include "BenchPlan.h"
#include "FrameLedger.h"
#include "LatencySummary.h"
#include "MachinePauses.h"
#include "RelayUnderTest.h"

#include <cstddef>
#include <string>
#include <vector>

namespace korvel {

// What one run of one scenario against one relay measured.
struct ScenarioResult
{
    std::string problem; // empty when the run went through
    LatencySummary latency;
    FrameTally frames;
    std::size_t garbled = 0; // bytes at a camera that formed no frame
    std::size_t unsent = 0;  // frames the bench could not write whole
    // CPU time the relay used while the measured frames went through.
    std::int64_t relayCpuNanos = 0;

    // Fan-out: control notices counted per session.
    std::size_t noticeSessions = 0;
    std::size_t noticesExpected = 0;
    std::size_t noticesReceived = 0;
    std::size_t noticesExtra = 0;
    std::size_t sessionsComplete = 0; // sessions that got every notice

    // Idle sessions.
    std::size_t sessionsWanted = 0;
    std::size_t sessionsReady = 0;
    std::size_t residentKb = 0;
    std::size_t idleResidentKb = 0; // before any session
    double loginSeconds = 0;

    // Status polling: answers the poller read whole, and polls that failed.
    std::size_t statusAnswers = 0;
    std::size_t statusFailures = 0;

    // Reloads of the unchanged configuration asked for, and those the
    // service's log closed by the end of the run.
    std::size_t reloadsAsked = 0;
    std::size_t reloadsDone = 0;

    // Under attack: FAILURE answers the password guesser and the insider
    // got, idle status and operator connections the service closed, and the
    // workstation's logins (tried, answered OK, the slowest).
    std::size_t guessesAnswered = 0;
    std::size_t insiderGuessesAnswered = 0;
    std::size_t idleClosed = 0;
    std::size_t floodClosed = 0;
    std::size_t probeTries = 0;
    std::size_t probeLogins = 0;
    std::int64_t probeSlowestNanos = 0;

    // Slow line: one entry per rate, in the plan's order.
    struct SlowLineRate
    {
        double rate = 0;
        bool fitsLine = false; // the line carries this many frames a second
        std::size_t sent = 0;
        std::size_t delivered = 0;
        // From the operator's last frame to the camera's last byte.
        std::int64_t lagNanos = 0;
    };
    std::vector<SlowLineRate> slowLine;

    // Set by whoever runs the scenario: see MachinePauses.h.
    MachinePauses machine;
};

ScenarioResult RunClosedLoop(const BenchPaths& paths, RelayKind kind, const ClosedLoopPlan& plan);
// The closed loop against the service with directory accounts on (PAM
// wrapped, pam_matrix as the directory), with a directory LOGIN ten times a
// second beside it (withLogins) or none; the logins in the probe fields.
ScenarioResult RunDirectoryLogins(const BenchPaths& paths, const ClosedLoopPlan& plan,
                                  bool withLogins);
// polled: the service runs its status server, and a client asks it for
// /status and /metrics ten times a second while the frames go through.
ScenarioResult RunOpenLoop(const BenchPaths& paths, RelayKind kind, const OpenLoopPlan& plan,
                           bool polled = false);
// Control notices exist only in the service.
// The open-loop plan against the service with the attacks running
// (attacked, and a client polling the status ten times a second) or without;
// the latency runs from each command to its sender's control notice.
ScenarioResult RunUnderAttack(const BenchPaths& paths, const OpenLoopPlan& plan,
                              const AttackPlan& attack, bool attacked);
// The open-loop plan against the service asked to reload its unchanged
// configuration every second while the frames go through (reloading), or
// left alone.
ScenarioResult RunReloading(const BenchPaths& paths, const OpenLoopPlan& plan, bool reloading);
ScenarioResult RunFanOut(const BenchPaths& paths, const FanOutPlan& plan);
// One camera on a slow line behind a terminal server, steered at each rate.
ScenarioResult RunSlowLine(const BenchPaths& paths, RelayKind kind, const SlowLinePlan& plan);
ScenarioResult RunIdle(const BenchPaths& paths, const IdlePlan& plan);

} // namespace korvel
