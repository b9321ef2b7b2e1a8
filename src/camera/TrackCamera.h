#pragma once

#include "camera/CameraSettings.h"
#include "camera/CommandListener.h"
#include "camera/CommandQueue.h"
#include "camera/Lifetime.h"
#include "camera/LinkStateMachine.h"

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

class NetworkLink;
class SerialLink;

// One configured track camera: its configuration, its link (serial port or
// TCP with reconnection) and the write path of its commands. Who may steer it, and for how long, is
// the operator side's to decide (Arbitration); the camera only says which commands reached it.
//
// Threads: everything runs on the I/O loop thread.
//
// Commands: a command with nothing ahead of it goes straight to a connected
// network camera's socket when the socket takes it whole at once (the usual
// case: no copy, no trip through the loop; SendCommand says so at once).
// Otherwise SendCommand copies the bytes into a bounded queue
// (MaxPendingBytes per camera); one write is in flight and the rest follow in
// order, each reported to the listener once written. A command beyond the
// bound is dropped, and the first drop of each overflow is logged. A command
// that finds no transport, or whose write fails, is dropped: nothing is kept
// for a later connection, since a command delivered minutes late would steer
// the camera for an operator who has long moved on.
//
// Lifetime: the I/O loop must outlive the camera. Destroy the camera on the
// loop thread or with the loop stopped; completions still queued for it then
// find it gone and do nothing (see Lifetime), also if the loop runs again.
class TrackCamera
{
public:
    // Starts the link at once (opens the serial port, or starts resolving
    // the host on the loop); a camera without an address gets none. Throws
    // std::exception("invalid character_size value") for DataBits outside 5..8.
    TrackCamera(boost::asio::io_context& io, const CameraSettings& settings, int retryIntervalSecs,
                int lockTimeSecs);
    ~TrackCamera();
    TrackCamera(const TrackCamera&) = delete;
    TrackCamera& operator=(const TrackCamera&) = delete;

    // Configuration (fixed after construction).
    const std::string& GetAddress() const { return address; }
    const std::string& GetPort() const { return port; }
    std::uint32_t GetPelcoNumber() const { return pelcoNumber; }
    // How long a delivered command holds the camera for its sender.
    std::int32_t GetLockTimeSecs() const { return lockTimeSecs; }
    bool IsSerial() const { return serialLink != nullptr; }

    // I/O loop: for the operations view.
    // WithoutTransport for a camera that has no link at all.
    LinkState GetLinkState() const;
    // Command writes that failed since the start.
    std::uint64_t GetWriteErrors() const { return writeErrors; }

    // I/O loop: the write path.
    // Who hears of the queued commands written (the client service).
    void SetClientServer(CommandListener* listener) { commandListener = listener; }
    enum class Delivery
    {
        Written, // whole, at once: the caller takes it as delivered now
        Queued,  // CommandWritten follows if and when it has been written
        Dropped, // no transport, a full queue or a failed write
    };
    // Writes a copy of the bytes to the camera after the commands before it.
    Delivery SendCommand(std::uint16_t sessionId, std::int32_t priority, const char* bytes,
                         std::size_t length);
    // Closes the link and cancels every pending operation (a camera the
    // loader does not file).
    void Stop();

    static constexpr std::size_t MaxPendingBytes = 1 << 20;

private:
    bool LinkAcceptsCommands() const;
    void WriteNextCommand();
    void OnCommandWritten(const boost::system::error_code& error);

    std::string address;
    std::string port = "1000";
    std::uint32_t pelcoNumber = 1;
    std::int32_t lockTimeSecs;

    // At most one of the two links exists: none for a camera without an
    // address, the serial link when the port names a device, else the network link.
    std::unique_ptr<SerialLink> serialLink;
    std::unique_ptr<NetworkLink> networkLink;
    CommandQueue commands{MaxPendingBytes};
    bool writing = false;
    bool overflowReported = false;
    std::uint64_t writeErrors = 0;
    bool stopped = false;
    CommandListener* commandListener = nullptr;

    Lifetime lifetime;
};

} // namespace korvel
