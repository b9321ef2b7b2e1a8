#include "camera/TrackCamera.h"

#include "camera/NetworkLink.h"
#include "camera/SerialLink.h"
#include "log/LogFile.h"

#include <boost/asio/error.hpp>

#include <chrono>

namespace {

using HoldClock = boost::asio::steady_timer::clock_type;

} // namespace

TrackCamera::TrackCamera(boost::asio::io_context& io, const CameraSettings& settings,
                         int retryIntervalSecs, int lockTimeSecs)
    : lockTimeSecs(lockTimeSecs), holdTimer(io)
{
    if (settings.address.empty())
        return;
    address = settings.address;
    port = settings.port;
    pelcoNumber = settings.pelcoNumber;
    if (settings.IsNetworkCamera()) {
        networkLink = std::make_unique<NetworkLink>(io, address, port, retryIntervalSecs);
        networkLink->Start();
        return;
    }
    serialLink = std::make_unique<SerialLink>(io, address, port, settings.serial);
}

// The links and the timer close and cancel their operations as they go; what
// is still queued on the loop is ignored through the lifetime guard.
TrackCamera::~TrackCamera() = default;

void TrackCamera::SendCommand(std::uint16_t sessionId, std::int32_t priority, const char* bytes,
                              std::size_t length)
{
    // A camera without transport (no socket yet, or no serial device) drops
    // the command: nothing is written, logged or held.
    if (!LinkAcceptsCommands())
        return;
    // Nothing ahead of it on a connected link: hand it to the socket at once.
    if (networkLink && networkLink->Connected() && !writing && commands.Empty()) {
        boost::system::error_code error;
        const std::size_t written = networkLink->TryWrite(bytes, length, error);
        if (written == length) {
            TakeHold(sessionId, priority);
            return;
        }
        if (error && error != boost::asio::error::would_block) {
            // As when a queued write fails: no hold, and the link recovers.
            networkLink->WriteFailed(error);
            return;
        }
        // The socket cannot take it all now: the rest waits its turn.
        bytes += written;
        length -= written;
    }
    if (!commands.Push(sessionId, priority, bytes, length)) {
        if (!overflowReported) {
            overflowReported = true;
            LogFile.BeginLine() << "Command queue for track camera at " << address
                                << " is full; dropping commands until it drains" << std::endl;
        }
        return;
    }
    WriteNextCommand();
}

void TrackCamera::Stop()
{
    stopped = true;
    if (serialLink)
        serialLink->Stop();
    if (networkLink)
        networkLink->Stop();
    holdTimer.cancel();
}

bool TrackCamera::LinkAcceptsCommands() const
{
    if (stopped)
        return false;
    if (serialLink)
        return serialLink->Opened();
    if (networkLink)
        return networkLink->AcceptsCommands();
    return false;
}

void TrackCamera::WriteNextCommand()
{
    if (writing)
        return;
    for (;;) {
        // A command that waited while its link lost the transport goes the
        // way of a command sent then: dropped.
        while (!commands.Empty() && !LinkAcceptsCommands())
            commands.TakeFront();
        if (commands.Empty()) {
            overflowReported = false;
            return;
        }
        // A device that cannot be opened again costs this command only.
        if (serialLink && !serialLink->EnsureOpen()) {
            commands.TakeFront();
            continue;
        }
        break;
    }

    writing = true;
    const CameraCommand& command = commands.Front();
    auto onWritten =
        lifetime.Guard([this](const boost::system::error_code& error) { OnCommandWritten(error); });
    if (serialLink)
        serialLink->AsyncWrite(command.bytes.data(), command.bytes.size(), std::move(onWritten));
    else
        networkLink->AsyncWrite(command.bytes.data(), command.bytes.size(), std::move(onWritten));
}

void TrackCamera::OnCommandWritten(const boost::system::error_code& error)
{
    writing = false;
    if (stopped)
        return;
    const CameraCommand done = commands.TakeFront();
    if (error == boost::asio::error::operation_aborted) {
        // A newer resolution replaced the socket under the write: that
        // recovery is already under way, and the command is not kept for it.
        WriteNextCommand();
        return;
    }
    if (!error) {
        TakeHold(done.sessionId, done.priority);
    } else if (serialLink) {
        serialLink->WriteFailed(error);
    } else {
        networkLink->WriteFailed(error);
    }
    WriteNextCommand();
}

void TrackCamera::TakeHold(std::uint16_t sessionId, std::int32_t priority)
{
    holderSession = sessionId;
    holderPriority = priority;
    if (clientServer)
        clientServer->AnnounceControl(address, holderSession);

    holdDeadline = HoldClock::now() + std::chrono::seconds(lockTimeSecs);
    if (!holdWaitPending)
        WaitForHoldDeadline();
}

void TrackCamera::WaitForHoldDeadline()
{
    holdWaitPending = true;
    holdTimer.expires_at(holdDeadline);
    holdTimer.async_wait(lifetime.Guard(
        [this](const boost::system::error_code& error) { OnHoldExpired(error); }));
}

void TrackCamera::OnHoldExpired(const boost::system::error_code& error)
{
    holdWaitPending = false;
    if (error || stopped)
        return;
    // Commands delivered while the wait ran have moved the deadline on.
    if (HoldClock::now() < holdDeadline) {
        WaitForHoldDeadline();
        return;
    }
    holderSession = 0;
    holderPriority = -1;
    if (clientServer)
        clientServer->AnnounceRelease(address);
}

std::uint32_t TrackCamera::GetNvrCameraId() const
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    return nvrCameraId;
}

void TrackCamera::SetNvrCameraId(std::uint32_t id)
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    nvrCameraId = id;
}

std::string TrackCamera::GetNvrCameraName() const
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    return nvrCameraName;
}

void TrackCamera::SetNvrCameraName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    nvrCameraName = name;
}

std::uint32_t TrackCamera::GetSoftTriggerId() const
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    return softTriggerId;
}

void TrackCamera::SetSoftTriggerId(std::uint32_t id)
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    softTriggerId = id;
}
