#include "BenchPlan.h"

#include <sstream>

namespace korvel {

BenchPlan FullPlan()
{
    BenchPlan plan;
    plan.runs = 3;
    plan.closed = {100, 2000};
    plan.open = {50, 1, 50, 5};
    // 1,000 sessions, but a Pelco address is one byte: 250 cameras, 4 each.
    plan.crowd = {1000, 4, 20, 10};
    plan.fanOut = {500, 50, 250};
    plan.idle = {10000};
    plan.attack = {4, 1000, 4, 5, 4, 100, 80, true};
    // A 2,400-baud line: 240 bytes a second, 34 frames.
    plan.slow = {1, 2400, 240, {10, 30, 50}, 10};
    return plan;
}

BenchPlan QuickPlan()
{
    BenchPlan plan;
    plan.runs = 1;
    plan.closed = {20, 300};
    plan.open = {10, 1, 50, 1};
    plan.crowd = {100, 4, 20, 1};
    plan.fanOut = {50, 50, 50};
    plan.idle = {500};
    plan.attack = {4, 1000, 4, 5, 4, 40, 40, true};
    plan.slow = {1, 2400, 240, {10, 50}, 3};
    return plan;
}

std::string Describe(const ClosedLoopPlan& plan)
{
    std::ostringstream text;
    text << "1 session, " << plan.frames << " frames one at a time";
    return text.str();
}

std::string Describe(const OpenLoopPlan& plan)
{
    std::ostringstream text;
    text << plan.sessions << " sessions x " << plan.rate << "/s x " << plan.seconds << " s, "
         << plan.sessions / plan.perCamera << " cameras";
    if (plan.perCamera > 1)
        text << " (" << plan.perCamera << " sessions each, 1 holding)";
    return text.str();
}

std::string Describe(const FanOutPlan& plan)
{
    std::ostringstream text;
    text << plan.watchers << " watchers + 1 steering at " << plan.rate << "/s, " << plan.frames
         << " frames, 1 camera";
    return text.str();
}

std::string Describe(const IdlePlan& plan)
{
    std::ostringstream text;
    text << plan.sessions << " idle sessions logged in";
    return text.str();
}

std::string Describe(const AttackPlan& plan)
{
    std::ostringstream text;
    text << plan.loginConnections << " guessing, 1 insider guessing, "
         << plan.statusAddresses * plan.statusPerAddress << " idle on status, "
         << plan.idleOperatorConnections
         << " idle operator connections from one address (MaxSessions " << plan.maxSessions
         << "), a login every 250 ms";
    if (plan.auditFifo)
        text << ", audit FIFO";
    return text.str();
}

std::string Describe(const SlowLinePlan& plan)
{
    std::ostringstream text;
    text << "1 camera at " << plan.bytesPerSecond << " B/s (" << plan.baudRate
         << " baud), 1 session at";
    for (std::size_t i = 0; i < plan.rates.size(); ++i)
        text << (i == 0 ? " " : ", ") << plan.rates[i];
    text << "/s x " << plan.seconds << " s";
    return text.str();
}

} // namespace korvel
