#include "camera/CommandWritePath.h"

#include "camera/PelcoStop.h"

#include <algorithm>
#include <utility>

namespace korvel {

CommandOutcome OutcomeOfWrite(Outcome write)
{
    switch (write) {
    case Outcome::Done:
        return CommandOutcome::Written;
    case Outcome::Failed:
        return CommandOutcome::Failed;
    case Outcome::Aborted:
        break;
    }
    return CommandOutcome::Dropped;
}

CommandWritePath::CommandWritePath(std::size_t byteLimit, LineLimits limits,
                                   LineBacklog::Probe probe)
    : limits(limits), backlog(limits.bytesPerSecond, std::move(probe)), queue(byteLimit)
{}

std::size_t CommandWritePath::UseTransport(TransportId transport)
{
    if (transport == current)
        return 0;
    current = transport;
    backlog.Reset();
    std::size_t dropped = 0;
    while (!queue.Empty()) {
        queue.TakeFront();
        ++dropped;
    }
    overflowing = false;
    return dropped;
}

bool CommandWritePath::Busy() const
{
    return std::any_of(inFlight.begin(), inFlight.end(),
                       [this](const InFlight& write) { return write.transport == current; });
}

bool CommandWritePath::LateNow(TimePoint now, TimePoint sent, std::size_t length)
{
    if (!Bounded())
        return false;
    if (!backlog.SpeedKnown())
        return now - sent > limits.maxAge;
    return now + backlog.DrainTime(now) + backlog.LineTime(length) > sent + limits.maxAge;
}

bool CommandWritePath::LineReady(TimePoint now, TimePoint sent, std::size_t length)
{
    if (!Bounded())
        return true;
    if (!backlog.SpeedKnown())
        return backlog.Held(UnknownLineShare) <= UnknownLineShare;
    // A late command here is one that is kept: it goes when the line is
    // nearly down, as late as it may without leaving later.
    return !LateNow(now, sent, length) || backlog.DrainTime(now) <= LastCommandLead;
}

void CommandWritePath::Hand(TimePoint now, std::size_t length)
{
    if (Bounded())
        backlog.Handed(now, length);
}

CommandWritePath::Late CommandWritePath::DropLate(TimePoint now, Newcomer newcomer)
{
    Late late;
    if (!Bounded())
        return late;
    while (!queue.Empty()) {
        const CameraCommand& front = queue.Front();
        const bool newest = queue.Count() == 1 && !newcomer.present;
        // A stop stays until a later one can take its place.
        const bool replaced = !front.stop || queue.Stops() > 1 || newcomer.stop;
        if (newest || !replaced || !LateNow(now, front.sent, front.bytes.size()))
            break;
        queue.TakeFront();
        ++late.dropped;
        ++episodeDrops;
        if (!dropping) {
            dropping = true;
            late.episodeBegins = true;
        }
    }
    if (queue.Empty())
        overflowing = false;
    return late;
}

CommandWritePath::Routing CommandWritePath::Send(TimePoint now, CommandSender sessionId,
                                                 std::int32_t priority, const char* bytes,
                                                 std::size_t length)
{
    if (current == NoTransport)
        return Routing{Route::Drop, false, {}};
    const bool stop = Bounded() && EndsInStopFrame(bytes, length);
    Routing routing;
    routing.late = DropLate(now, Newcomer{true, stop});
    if (!Busy() && queue.Empty() && LineReady(now, now, length)) {
        Hand(now, length);
        routing.route = Route::WriteNow;
        return routing;
    }
    if (!queue.Push(sessionId, priority, bytes, length, now, stop)) {
        routing.route = Route::Overflow;
        routing.overflowBegins = !overflowing;
        overflowing = true;
        return routing;
    }
    routing.route = Route::Queued;
    return routing;
}

const CameraCommand& CommandWritePath::WriteInFlight(CameraCommand rest)
{
    inFlight.push_back(InFlight{current, std::move(rest)});
    return inFlight.back().command;
}

CommandWritePath::Ended CommandWritePath::InFlightEnded(TransportId transport, Outcome write)
{
    const auto found =
        std::find_if(inFlight.begin(), inFlight.end(),
                     [transport](const InFlight& entry) { return entry.transport == transport; });
    if (found == inFlight.end())
        return {};
    const Ended ended{OutcomeOfWrite(write), found->command.sessionId, found->command.priority};
    inFlight.erase(found);
    return ended;
}

CommandWritePath::Next CommandWritePath::TakeNext(TimePoint now)
{
    Next next;
    if (current == NoTransport || Busy())
        return next;
    next.late = DropLate(now, Newcomer{});
    if (queue.Empty())
        return next;
    const CameraCommand& front = queue.Front();
    if (!LineReady(now, front.sent, front.bytes.size()))
        return next;
    next.command = queue.TakeFront();
    Hand(now, next.command->bytes.size());
    if (queue.Empty())
        overflowing = false;
    return next;
}

std::optional<CommandWritePath::TimePoint> CommandWritePath::WakeAt(TimePoint now)
{
    if (!Bounded() || current == NoTransport || Busy())
        return std::nullopt;
    if (!queue.Empty()) {
        if (!backlog.SpeedKnown())
            return now + UnknownLinePoll;
        return now + std::max(backlog.DrainTime(now) - LastCommandLead, Duration::zero());
    }
    if (!dropping)
        return std::nullopt;
    if (!backlog.SpeedKnown())
        return backlog.Held(0) == 0 ? now : now + UnknownLinePoll;
    return now + backlog.DrainTime(now);
}

std::optional<std::uint64_t> CommandWritePath::CaughtUp(TimePoint now)
{
    if (!dropping || !queue.Empty() || Busy())
        return std::nullopt;
    const bool drained =
        backlog.SpeedKnown() ? backlog.DrainTime(now) == Duration::zero() : backlog.Held(0) == 0;
    if (!drained)
        return std::nullopt;
    dropping = false;
    return std::exchange(episodeDrops, 0);
}

} // namespace korvel
