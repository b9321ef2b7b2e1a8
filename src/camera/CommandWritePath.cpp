#include "camera/CommandWritePath.h"

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

std::size_t CommandWritePath::UseTransport(TransportId transport)
{
    if (transport == current)
        return 0;
    current = transport;
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

CommandWritePath::Routing CommandWritePath::Send(CommandSender sessionId, std::int32_t priority,
                                                 const char* bytes, std::size_t length)
{
    if (current == NoTransport)
        return {Route::Drop};
    if (!Busy())
        return {Route::WriteNow};
    if (!queue.Push(sessionId, priority, bytes, length)) {
        const bool begins = !overflowing;
        overflowing = true;
        return {Route::Overflow, begins};
    }
    return {Route::Queued};
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

std::optional<CameraCommand> CommandWritePath::TakeNext()
{
    if (current == NoTransport || Busy() || queue.Empty())
        return std::nullopt;
    CameraCommand next = queue.TakeFront();
    if (queue.Empty())
        overflowing = false;
    return next;
}

} // namespace korvel
