#pragma once

#include "camera/CameraSettings.h"
#include "camera/CommandQueue.h"
#include "camera/HoldListener.h"
#include "camera/Lifetime.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class NetworkLink;
class SerialLink;

// One configured track camera: its configuration, its link (serial port or
// TCP with reconnection), the control hold, and the fields the NVR side
// learns about it.
//
// Threads: everything runs on the I/O loop thread except the NVR-side
// accessors, which NVR workers call; those fields are guarded by nvrMutex.
//
// Commands: a command with nothing ahead of it goes straight to a connected
// network camera's socket when the socket takes it whole at once (the usual
// case: no copy, no trip through the loop, and the hold is taken there and
// then). Otherwise SendCommand copies the bytes into a bounded queue
// (MaxPendingBytes per camera); one write is in flight and the rest follow in
// order. A command beyond the bound is dropped, and the first drop of each
// overflow is logged. A command that finds no transport, or whose write
// fails, is dropped: nothing is kept for a later connection, since a command
// delivered minutes late would steer the camera for an operator who has long
// moved on.
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

    // I/O loop: link and hold.
    void SetClientServer(HoldListener* listener) { clientServer = listener; }
    // Writes a copy of the bytes to the camera after the commands before it;
    // a delivered command makes the sender the holder (TakeHold).
    void SendCommand(std::uint16_t sessionId, std::int32_t priority, const char* bytes,
                     std::size_t length);
    std::uint16_t GetHolderSession() const { return holderSession; }
    std::int32_t GetHolderPriority() const { return holderPriority; }
    // Closes the link and cancels every pending operation (a camera the
    // loader does not file).
    void Stop();

    // NVR side: any thread.
    std::uint32_t GetNvrCameraId() const;
    void SetNvrCameraId(std::uint32_t id);
    std::string GetNvrCameraName() const;
    void SetNvrCameraName(const std::string& name);
    std::uint32_t GetSoftTriggerId() const;
    void SetSoftTriggerId(std::uint32_t id);

    static constexpr std::size_t MaxPendingBytes = 1 << 20;

private:
    bool LinkAcceptsCommands() const;
    void WriteNextCommand();
    void OnCommandWritten(const boost::system::error_code& error);
    void TakeHold(std::uint16_t sessionId, std::int32_t priority);
    void WaitForHoldDeadline();
    void OnHoldExpired(const boost::system::error_code& error);

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
    bool stopped = false;

    HoldListener* clientServer = nullptr;
    std::uint16_t holderSession = 0;
    std::int32_t holderPriority = -1;
    boost::asio::steady_timer holdTimer;
    // When the hold lapses. A delivered command moves it on; the one wait
    // on holdTimer follows it when it ends early, rather than being
    // cancelled and restarted for every command.
    boost::asio::steady_timer::time_point holdDeadline;
    bool holdWaitPending = false;

    Lifetime lifetime;

    mutable std::mutex nvrMutex; // guards the three fields below
    std::uint32_t nvrCameraId = 0;
    std::string nvrCameraName;
    std::uint32_t softTriggerId = 0;
};
