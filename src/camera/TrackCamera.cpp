#include "camera/TrackCamera.h"

#include "camera/NetworkLink.h"
#include "camera/SerialLink.h"
#include "log/LogFile.h"

#include <boost/asio/error.hpp>

namespace korvel {

TrackCamera::TrackCamera(boost::asio::io_context& io, const CameraSettings& settings,
                         int retryIntervalSecs, int lockTimeSecs)
    : lockTimeSecs(lockTimeSecs)
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

// The links close and cancel their operations as they go; what is still
// queued on the loop is ignored through the lifetime guard.
TrackCamera::~TrackCamera() = default;

TrackCamera::Delivery TrackCamera::SendCommand(std::uint16_t sessionId, std::int32_t priority,
                                               const char* bytes, std::size_t length)
{
    // A camera without transport (no socket yet, or no serial device) drops
    // the command: nothing is written or logged.
    if (!LinkAcceptsCommands())
        return Delivery::Dropped;
    // Nothing ahead of it on a connected link: hand it to the socket at once.
    if (networkLink && networkLink->Connected() && !writing && commands.Empty()) {
        boost::system::error_code error;
        const std::size_t written = networkLink->TryWrite(bytes, length, error);
        if (written == length)
            return Delivery::Written;
        if (error && error != boost::asio::error::would_block) {
            // As when a queued write fails: not delivered, and the link recovers.
            ++writeErrors;
            networkLink->WriteFailed(error);
            return Delivery::Dropped;
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
        return Delivery::Dropped;
    }
    WriteNextCommand();
    return Delivery::Queued;
}

void TrackCamera::Stop()
{
    stopped = true;
    if (serialLink)
        serialLink->Stop();
    if (networkLink)
        networkLink->Stop();
}

LinkState TrackCamera::GetLinkState() const
{
    if (serialLink)
        return serialLink->State();
    if (networkLink)
        return networkLink->State();
    return LinkState::WithoutTransport;
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
        if (commandListener)
            commandListener->CommandWritten(address, done.sessionId, done.priority);
        WriteNextCommand();
        return;
    }
    ++writeErrors;
    if (serialLink) {
        serialLink->WriteFailed(error);
    } else {
        networkLink->WriteFailed(error);
    }
    WriteNextCommand();
}

} // namespace korvel
