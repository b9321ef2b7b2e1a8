#include "camera/TrackCamera.h"

#include "loop/IoOutcome.h"
#include "camera/NetworkLink.h"
#include "camera/SerialLink.h"
#include "log/LogFile.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <utility>

namespace korvel {

namespace {

// The serial port is the camera's one transport for the whole run.
constexpr CommandWritePath::TransportId SerialPortTransport = 1;

std::uint64_t& Tally(TrackCamera::CommandCounts& counts, CommandOutcome outcome)
{
    switch (outcome) {
    case CommandOutcome::Written:
        break;
    case CommandOutcome::Dropped:
        return counts.dropped;
    case CommandOutcome::Failed:
        return counts.failed;
    }
    return counts.written;
}

} // namespace

TrackCamera::TrackCamera(boost::asio::io_context& io, TimeSource& time,
                         const CameraSettings& settings, int retryIntervalSecs, int lockTimeSecs)
    : io(io), address(settings.address), port(settings.port), pelcoNumber(settings.pelcoNumber),
      lockTimeSecs(lockTimeSecs)
{
    if (address.empty())
        return;
    if (settings.IsNetworkCamera()) {
        networkLink = std::make_unique<NetworkLink>(io, time, address, port, retryIntervalSecs);
        networkLink->Start();
        return;
    }
    serialLink = std::make_unique<SerialLink>(io, port, settings.serial);
}

const std::string& TrackCamera::StartFailure() const
{
    static const std::string none;
    return serialLink ? serialLink->StartFailure() : none;
}

// The links close and cancel their operations as they go; what is still
// queued on the loop is ignored through the lifetime guard.
TrackCamera::~TrackCamera() = default;

void TrackCamera::SendCommand(CommandSender sessionId, std::int32_t priority, const char* bytes,
                              std::size_t length)
{
    FollowTransport();
    const CommandWritePath::Routing routing = writePath.Send(sessionId, priority, bytes, length);
    switch (routing.route) {
    case CommandWritePath::Route::Drop:
        // No transport (no socket yet, or no serial device): nothing is
        // written or logged.
        ++counts.dropped;
        return;
    case CommandWritePath::Route::Overflow:
        if (routing.overflowBegins)
            LogFile.BeginLine() << "Command queue for track camera at " << address
                                << " is full; dropping commands until it drains" << std::endl;
        ++counts.dropped;
        return;
    case CommandWritePath::Route::Queued:
        return;
    case CommandWritePath::Route::WriteNow:
        Write(sessionId, priority, bytes, length);
        return;
    }
}

void TrackCamera::Stop()
{
    if (stopped)
        return;
    stopped = true;
    if (serialLink)
        serialLink->Stop();
    if (networkLink)
        networkLink->Stop();
    FollowTransport();
    // Their completions find the camera stopped and count nothing.
    counts.dropped += writePath.InFlightCount();
    counts.written += std::exchange(posted.written, 0);
    counts.dropped += std::exchange(posted.dropped, 0);
    counts.failed += std::exchange(posted.failed, 0);
}

void TrackCamera::SetRetryInterval(int seconds)
{
    if (networkLink)
        networkLink->SetRetryInterval(seconds);
}

LinkState TrackCamera::GetLinkState() const
{
    if (serialLink)
        return serialLink->State();
    if (networkLink)
        return networkLink->State();
    return LinkState::WithoutTransport;
}

CommandWritePath::TransportId TrackCamera::CurrentTransport() const
{
    if (stopped)
        return CommandWritePath::NoTransport;
    if (serialLink)
        return serialLink->Opened() ? SerialPortTransport : CommandWritePath::NoTransport;
    if (networkLink)
        return networkLink->Transport();
    return CommandWritePath::NoTransport;
}

void TrackCamera::FollowTransport()
{
    counts.dropped += writePath.UseTransport(CurrentTransport());
}

void TrackCamera::Write(CommandSender sessionId, std::int32_t priority, const char* bytes,
                        std::size_t length)
{
    auto onWritten = lifetime.Guard(
        [this, transport = writePath.Transport()](const boost::system::error_code& error) {
            OnWritten(transport, error);
        });
    if (serialLink) {
        // A port that an earlier failure left closed is opened again first; a
        // device that cannot be opened costs this command only.
        if (!serialLink->EnsureOpen()) {
            ++counts.dropped;
            return;
        }
        const CameraCommand& command =
            writePath.WriteInFlight(CameraCommand{sessionId, priority, {bytes, bytes + length}});
        serialLink->AsyncWrite(command.bytes.data(), command.bytes.size(), std::move(onWritten));
        return;
    }
    boost::system::error_code error;
    const std::size_t sent = networkLink->TryWrite(bytes, length, error);
    if (sent == length || (error && error != boost::asio::error::would_block)) {
        // Taken whole, or failed: the outcome still comes from the loop,
        // after the handlers queued before it, like that of a write that had
        // to wait.
        const CommandOutcome outcome = OutcomeOfWrite(OutcomeOf(error));
        ++Tally(posted, outcome);
        boost::asio::post(io, lifetime.Guard([this, sessionId, priority, error, outcome] {
            if (stopped)
                return; // counted by Stop
            --Tally(posted, outcome);
            Ended(outcome, sessionId, priority, error);
        }));
        return;
    }
    const CameraCommand& rest = writePath.WriteInFlight(
        CameraCommand{sessionId, priority, {bytes + sent, bytes + length}});
    networkLink->AsyncWrite(rest.bytes.data(), rest.bytes.size(), std::move(onWritten));
}

void TrackCamera::OnWritten(CommandWritePath::TransportId transport,
                            const boost::system::error_code& error)
{
    const CommandWritePath::Ended ended = writePath.InFlightEnded(transport, OutcomeOf(error));
    Ended(ended.outcome, ended.sessionId, ended.priority, error);
    WriteWaiting();
}

void TrackCamera::WriteWaiting()
{
    FollowTransport();
    while (auto next = writePath.TakeNext())
        Write(next->sessionId, next->priority, next->bytes.data(), next->bytes.size());
}

void TrackCamera::Ended(CommandOutcome outcome, CommandSender sessionId, std::int32_t priority,
                        const boost::system::error_code& error)
{
    if (stopped)
        return;
    switch (outcome) {
    case CommandOutcome::Written:
        ++counts.written;
        if (commandListener)
            commandListener->CommandWritten(listenerIndex, sessionId, priority);
        return;
    case CommandOutcome::Dropped:
        ++counts.dropped;
        return;
    case CommandOutcome::Failed:
        // Nobody takes the hold; what the link does next is
        // LinkStateMachine::CommandWriteFailed's to decide.
        ++counts.failed;
        if (serialLink)
            serialLink->WriteFailed(error);
        else
            networkLink->WriteFailed(error);
        return;
    }
}

} // namespace korvel
