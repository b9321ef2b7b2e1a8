#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvel {

// The sizes of each scenario.

// One session sends a frame, waits for it at the camera, sends the next.
struct ClosedLoopPlan
{
    std::size_t warmUp = 0; // frames before the measured ones (not counted)
    std::size_t frames = 0;
};

// Sessions send at a fixed rate each, whatever the relay does. Sessions are
// grouped on cameras, perCamera to a camera; the first of each group holds
// its camera with a higher priority, so the service refuses the others'
// frames by design (a plain relay passes them all).
struct OpenLoopPlan
{
    std::size_t sessions = 0;
    std::size_t perCamera = 1;
    double rate = 0; // frames per second per session
    double seconds = 0;
};

// Watchers work with one camera while one more session steers it.
struct FanOutPlan
{
    std::size_t watchers = 0;
    double rate = 0;
    std::size_t frames = 0;
};

// Sessions connect, log in and stay idle.
struct IdlePlan
{
    std::size_t sessions = 0;
};

// Attacks on the service while an open loop runs: a password guesser
// flooding failed LOGINs with long names, an insider guessing another
// user's password between logins with an account of its own, idle
// connections holding the status server's places, a flood of idle operator
// connections from one address beyond the session cap (both runs have the
// cap), and an audit file that is a FIFO nobody reads. A workstation logs
// in now and then meanwhile.
struct AttackPlan
{
    std::size_t loginConnections = 0;
    std::size_t loginNameBytes = 0;
    std::size_t insiderGuesses = 0; // between two logins of its own
    std::size_t statusAddresses = 0;
    std::size_t statusPerAddress = 0;
    std::size_t maxSessions = 0;
    std::size_t idleOperatorConnections = 0;
    bool auditFifo = true;
};

// One operator steers one camera behind a terminal server whose serial line
// carries bytesPerSecond (the service is told its baud rate), at each of the
// rates in turn, each on a service and camera of its own.
struct SlowLinePlan
{
    int runs = 1; // the figures are the line's, not noisy: one run tells
    unsigned baudRate = 0;
    double bytesPerSecond = 0;
    std::vector<double> rates; // frames per second
    double seconds = 0;        // at each rate
};

struct BenchPlan
{
    int runs = 3;
    ClosedLoopPlan closed;
    OpenLoopPlan open;
    OpenLoopPlan crowd;
    FanOutPlan fanOut;
    IdlePlan idle;
    AttackPlan attack;
    SlowLinePlan slow;
};

// The sizes the targets are set for.
BenchPlan FullPlan();
// A few seconds in all, to try the bench itself.
BenchPlan QuickPlan();

std::string Describe(const ClosedLoopPlan& plan);
std::string Describe(const OpenLoopPlan& plan);
std::string Describe(const FanOutPlan& plan);
std::string Describe(const IdlePlan& plan);
std::string Describe(const AttackPlan& plan);
std::string Describe(const SlowLinePlan& plan);

} // namespace korvel
