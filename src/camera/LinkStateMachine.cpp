#include "camera/LinkStateMachine.h"

#include <algorithm>
#include <utility>

namespace korvel {

LinkStateMachine::LinkStateMachine(bool serial, LinkState state, std::string address,
                                   std::string port, int retrySecs)
    : serial(serial), state(state), address(std::move(address)), port(std::move(port)),
      retryIntervalSecs(retrySecs)
{}

LinkStateMachine LinkStateMachine::Network(const std::string& address, const std::string& port,
                                           int retryIntervalSecs)
{
    return LinkStateMachine(false, LinkState::NoSocket, address, port, retryIntervalSecs);
}

LinkStateMachine LinkStateMachine::Serial(const std::string& device, bool openedAtStart)
{
    return LinkStateMachine(true, openedAtStart ? LinkState::Open : LinkState::WithoutTransport,
                            std::string(), device, 0);
}

bool LinkStateMachine::WritesCommands() const
{
    switch (state) {
    case LinkState::Connecting:
    case LinkState::Connected:
    case LinkState::Waiting:
    case LinkState::Open:
    case LinkState::PortClosed:
        return true;
    default:
        return false;
    }
}

LinkActions LinkStateMachine::Start()
{
    LinkActions actions;
    actions.logLine = "Connecting to track camera at " + address + ":" + port;
    Resolve(actions);
    return actions;
}

// Every request starts a resolution of its own, also while others are under
// way: each one that completes replaces the socket.
void LinkStateMachine::Resolve(LinkActions& actions)
{
    if (state == LinkState::Stopped)
        return;
    actions.resolve = true;
}

LinkActions LinkStateMachine::ResolveEnded(Outcome outcome, std::size_t endpointCount,
                                           const std::string& reason)
{
    LinkActions actions;
    if (state == LinkState::Stopped || outcome == Outcome::Aborted)
        return actions;
    if (outcome == Outcome::Failed) {
        // Not retried by itself, and the socket stays: the next failed
        // command write resolves again. Without a socket, nothing ever will.
        actions.logLine =
            "*** Unable to resolve path to camera at " + address + ":" + port + ": " + reason;
        if (state == LinkState::NoSocket)
            state = LinkState::WithoutTransport;
        return actions;
    }
    if (endpointCount == 0)
        return actions;
    ++socketGeneration;
    state = LinkState::Connecting;
    actions.newSocket = true;
    actions.connectTo = 0;
    return actions;
}

LinkActions LinkStateMachine::ConnectEnded(std::uint64_t generation, std::size_t endpoint,
                                           std::size_t endpointCount, Outcome outcome,
                                           const std::string& reason)
{
    LinkActions actions;
    if (state == LinkState::Stopped)
        return actions;
    // The attempt of a socket that a newer resolution replaced still counts
    // for the retry wait, but the socket it would go on with is gone.
    const bool current = generation == socketGeneration;
    if (outcome == Outcome::Done) {
        if (current)
            state = LinkState::Connected;
        retryWait = 0;
        actions.cancelRetryWait = true;
        return actions;
    }
    if (endpoint + 1 < endpointCount) {
        if (current)
            actions.connectTo = endpoint + 1;
        return actions;
    }
    if (current)
        state = LinkState::Waiting;
    // A replaced socket's attempt ends as aborted: nothing went wrong with the camera.
    if (outcome == Outcome::Failed)
        ReportTrouble(actions,
                      "*** Connection error for track camera at " + address + " on port " + port,
                      reason);
    // A retry interval below one second would turn a dead camera into a busy loop.
    actions.retryWait = std::chrono::seconds(std::max(retryIntervalSecs, 1));
    retryWait = ++retryWaitsStarted;
    return actions;
}

LinkActions LinkStateMachine::RetryWaitEnded(std::uint64_t wait, Outcome outcome)
{
    LinkActions actions;
    if (state == LinkState::Stopped)
        return actions;
    // Every wait that a connection or a newer wait cancelled says so.
    if (outcome == Outcome::Aborted) {
        actions.logLine = "Camera connection retry timer aborted";
        return actions;
    }
    // An expiry that was already queued when a connection succeeded or a newer
    // wait began is stale.
    if (outcome == Outcome::Failed || wait != retryWait)
        return actions;
    retryWait = 0;
    Resolve(actions);
    return actions;
}

LinkActions LinkStateMachine::CommandWriteFailed(const std::string& reason)
{
    LinkActions actions;
    if (state == LinkState::Stopped)
        return actions;
    if (serial) {
        ReportTrouble(actions, "Error sending command to serial port " + port, reason);
        // A device that comes back under its name carries the next command.
        actions.reopen = true;
        return actions;
    }
    if (state == LinkState::Connected)
        state = LinkState::Waiting;
    ReportTrouble(actions, "Error sending command to " + address, reason);
    Resolve(actions);
    return actions;
}

LinkActions LinkStateMachine::Stop()
{
    LinkActions actions;
    state = LinkState::Stopped;
    actions.closeAll = true;
    return actions;
}

LinkActions LinkStateMachine::CommandWaiting()
{
    LinkActions actions;
    actions.reopen = state == LinkState::PortClosed;
    return actions;
}

LinkActions LinkStateMachine::ReopenEnded(bool portOpen, const std::string& failure)
{
    LinkActions actions;
    if (state == LinkState::Stopped)
        return actions;
    // Logged every time: each command that finds the device missing tries again.
    if (!failure.empty())
        actions.logLine = "Error opening serial port " + port + ": " + failure;
    state = portOpen ? LinkState::Open : LinkState::PortClosed;
    return actions;
}

void LinkStateMachine::ReportTrouble(LinkActions& actions, const std::string& text,
                                     const std::string& reason)
{
    if (troubleReported)
        return;
    troubleReported = true;
    actions.logLine = text + ": " + reason;
}

} // namespace korvel
