#include "camera/TrackCamera.h"

#include "camera/NetworkLink.h"
#include "camera/SerialLink.h"
#include "log/LogFile.h"
#include "loop/IoOutcome.h"

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

// A character on a serial line: a start bit, the data bits, the parity bit
// if any, and the stop bits.
double SerialBytesPerSecond(const SerialSettings& serial)
{
    const unsigned bits = 1u + serial.dataBits +
                          (serial.parity == SerialSettings::Parity::None ? 0u : 1u) +
                          (serial.stopBits == SerialSettings::StopBits::Two ? 2u : 1u);
    return static_cast<double>(serial.baudRate) / bits;
}

// The line behind a terminal server, as Pelco cameras take it: eight data
// bits, no parity, one stop bit.
constexpr double TerminalLineBitsPerByte = 10;

LineLimits LimitsOf(const CameraSettings& settings)
{
    LineLimits limits;
    limits.maxAge = std::chrono::milliseconds(settings.maxCommandAgeMs);
    if (!settings.IsNetworkCamera())
        limits.bytesPerSecond = SerialBytesPerSecond(settings.serial);
    else
        limits.bytesPerSecond = settings.lineBaudRate / TerminalLineBitsPerByte;
    return limits;
}

std::string AgeText(std::uint32_t milliseconds)
{
    if (milliseconds % 1000 == 0)
        return std::to_string(milliseconds / 1000) + " s";
    return std::to_string(milliseconds) + " ms";
}

} // namespace

TrackCamera::TrackCamera(boost::asio::io_context& io, TimeSource& time,
                         const CameraSettings& settings, int retryIntervalSecs, int lockTimeSecs)
    : TrackCamera(io, time, settings,
                  settings.address.empty() || !settings.IsNetworkCamera()
                      ? nullptr
                      : std::make_unique<NetworkLink>(io, time, settings.address, settings.port,
                                                      retryIntervalSecs),
                  settings.address.empty() || settings.IsNetworkCamera()
                      ? nullptr
                      : std::make_unique<SerialLink>(io, settings.port, settings.serial),
                  lockTimeSecs)
{}

TrackCamera::TrackCamera(boost::asio::io_context& io, TimeSource& time,
                         const CameraSettings& settings, std::unique_ptr<CameraLink> link,
                         int lockTimeSecs)
    : TrackCamera(io, time, settings, std::move(link), nullptr, lockTimeSecs)
{}

TrackCamera::TrackCamera(boost::asio::io_context& io, TimeSource& time,
                         const CameraSettings& settings, std::unique_ptr<SerialCameraLink> serial,
                         int lockTimeSecs)
    : TrackCamera(io, time, settings, nullptr, std::move(serial), lockTimeSecs)
{}

TrackCamera::TrackCamera(boost::asio::io_context& io, TimeSource& time,
                         const CameraSettings& settings, std::unique_ptr<CameraLink> link,
                         std::unique_ptr<SerialCameraLink> serial, int lockTimeSecs)
    : io(io), time(time), address(settings.address), port(settings.port),
      pelcoNumber(settings.pelcoNumber), lockTimeSecs(lockTimeSecs),
      maxCommandAgeMs(settings.maxCommandAgeMs), rules(settings.rules), serialLink(std::move(serial)),
      networkLink(std::move(link)),
      writePath(MaxPendingBytes, LimitsOf(settings), [this] { return TransportHolds(); }),
      lineTimer(io, time)
{
    if (networkLink)
        networkLink->Start();
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
    const TimePoint now = time.Now();
    FollowTransport();
    const CommandWritePath::Routing routing =
        writePath.Send(now, sessionId, priority, bytes, length);
    CountLate(routing.late);
    switch (routing.route) {
    case CommandWritePath::Route::Drop:
        // No transport (no socket yet, or no serial device): nothing is
        // written or logged.
        ++counts.dropped;
        break;
    case CommandWritePath::Route::Overflow:
        if (routing.overflowBegins)
            LogFile.BeginLine() << "Command queue for track camera at " << address
                                << " is full; dropping commands until it drains" << std::endl;
        ++counts.dropped;
        break;
    case CommandWritePath::Route::Queued:
        // Waiting for the line, not for a write: what this command made
        // late is gone, and the one now first may go.
        if (!writePath.Busy())
            WriteWaiting(now);
        break;
    case CommandWritePath::Route::WriteNow:
        Write(sessionId, priority, bytes, length);
        break;
    }
    Settle(now);
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
    lineTimer.Cancel();
    lineTimerAt.reset();
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

std::optional<std::size_t> TrackCamera::TransportHolds()
{
    if (serialLink)
        return serialLink->OutputQueue();
    if (networkLink)
        return networkLink->UnsentBytes();
    return std::nullopt;
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
    const TimePoint now = time.Now();
    WriteWaiting(now);
    Settle(now);
}

void TrackCamera::WriteWaiting(TimePoint now)
{
    FollowTransport();
    for (;;) {
        CommandWritePath::Next next = writePath.TakeNext(now);
        CountLate(next.late);
        if (!next.command)
            return;
        const CameraCommand& command = *next.command;
        Write(command.sessionId, command.priority, command.bytes.data(), command.bytes.size());
    }
}

void TrackCamera::CountLate(const CommandWritePath::Late& late)
{
    counts.dropped += late.dropped;
    if (late.episodeBegins)
        LogFile.BeginLine() << "Track camera at " << address
                            << " cannot keep up; dropping commands older than "
                            << AgeText(maxCommandAgeMs) << std::endl;
}

void TrackCamera::Settle(TimePoint now)
{
    if (stopped)
        return;
    if (const std::optional<std::uint64_t> dropped = writePath.CaughtUp(now))
        LogFile.BeginLine() << "Track camera at " << address << " keeps up again; " << *dropped
                            << (*dropped == 1 ? " command" : " commands") << " dropped"
                            << std::endl;
    const std::optional<TimePoint> wake = writePath.WakeAt(now);
    if (wake == lineTimerAt)
        return;
    lineTimerAt = wake;
    if (!wake) {
        lineTimer.Cancel();
        return;
    }
    lineTimer.ExpiresAt(*wake);
    lineTimer.AsyncWait(lifetime.Guard([this](const boost::system::error_code& error) {
        if (error)
            return;
        lineTimerAt.reset();
        const TimePoint now = time.Now();
        WriteWaiting(now);
        Settle(now);
    }));
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
