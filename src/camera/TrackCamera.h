#pragma once

#include "camera/CommandListener.h"
#include "camera/CommandWritePath.h"
#include "camera/LinkStateMachine.h"
#include "clock/TimeSource.h"
#include "config/Settings.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

class CameraLink;
class SerialCameraLink;

// One configured track camera: its configuration, its link (serial port or
// TCP with reconnection) and the write path of its commands. Who may steer it, and for how long, is
// the operator side's to decide (Arbitration); the camera only says which commands reached it.
//
// Threads: everything runs on the I/O loop thread.
//
// Commands (see CommandWritePath for the rules): each goes to the socket the
// camera has when it is sent, after the commands before it on that socket; a
// command that finds the socket idle is handed to it at once (no copy, no
// trip through the loop), the rest of one it cannot take whole is written
// asynchronously, and later ones wait in the socket's bounded queue
// (MaxPendingBytes); a command beyond the bound is dropped, and the first drop
// of each overflow is logged. A serial camera's commands are written one at a
// time through the loop. Whatever the path, the listener hears of a written
// command from a completion on the loop, after the handlers queued before it,
// so that the hold goes to the sender whose write completed last. A command
// that finds no transport, or whose write fails, is dropped, and so is one
// still waiting when a new socket replaces its own: a command delivered
// minutes late would steer the camera for an operator who has long moved on.
// For the same reason a command may be at most MaxCommandAgeMs late on the
// line: on a line slower than its operators, commands wait here rather than
// in the system's buffers, and those that could no longer leave in time are
// dropped, oldest first, never the newest nor a stop frame for the moves
// before it (CommandWritePath); each such episode is logged when it begins
// and when the camera has caught up. The line's speed comes from the serial
// settings, or from LineBaudRate for a terminal server; the time from the
// time source, on which the camera also waits for the line.
//
// Lifetime: the I/O loop must outlive the camera. Destroy the camera on the
// loop thread or with the loop stopped; completions still queued for it then
// find it gone and do nothing (see Lifetime), also if the loop runs again.
class TrackCamera
{
public:
    // Starts the link at once (opens the serial port, or starts resolving
    // the host on the loop); a camera without an address gets none. A network
    // link waits out its retry interval on `time`. A serial line that cannot
    // be set up with its settings sets StartFailure.
    TrackCamera(boost::asio::io_context& io, TimeSource& time, const CameraSettings& settings,
                int retryIntervalSecs, int lockTimeSecs);
    // A network camera over the given link, started at once (a simulated
    // network's in the tests).
    TrackCamera(boost::asio::io_context& io, TimeSource& time, const CameraSettings& settings,
                std::unique_ptr<CameraLink> link, int lockTimeSecs);
    // A serial camera over the given port (a test's).
    TrackCamera(boost::asio::io_context& io, TimeSource& time, const CameraSettings& settings,
                std::unique_ptr<SerialCameraLink> serial, int lockTimeSecs);
    ~TrackCamera();
    TrackCamera(const TrackCamera&) = delete;
    TrackCamera& operator=(const TrackCamera&) = delete;

    // Configuration (fixed after construction).
    const std::string& GetAddress() const { return address; }
    const std::string& GetPort() const { return port; }
    std::uint32_t GetPelcoNumber() const { return pelcoNumber; }
    // How long a delivered command holds the camera for its sender, as the
    // camera was built (a reload changes the holds' lock time on the
    // operator side: ControlService::SetLockTime).
    std::int32_t GetLockTimeSecs() const { return lockTimeSecs; }
    // What the operator side does with the camera beyond the priority test,
    // as the camera was built (a reload changes them on the operator side:
    // ControlService::SetCameraRules).
    const CameraRules& GetRules() const { return rules; }
    bool IsSerial() const { return serialLink != nullptr; }
    // Set when the camera could not be started and the run cannot go on
    // (SerialLink::StartFailure); empty otherwise.
    const std::string& StartFailure() const;

    // I/O loop: for the operations view.
    // WithoutTransport for a camera that has no link at all.
    LinkState GetLinkState() const;
    // The commands sent to the camera since the start, by how they ended
    // (those still on their way are in none).
    struct CommandCounts
    {
        std::uint64_t written = 0;
        std::uint64_t dropped = 0;
        std::uint64_t failed = 0;
    };
    const CommandCounts& GetCommandCounts() const { return counts; }

    // I/O loop: the write path.
    // Who hears of the commands written (the control service), and the
    // index it knows this camera by; null for nobody.
    void SetCommandListener(CommandListener* listener, std::size_t index)
    {
        commandListener = listener;
        listenerIndex = index;
    }
    // Writes the command to the camera after the commands before it; its
    // outcome follows on the loop.
    void SendCommand(CommandSender sessionId, std::int32_t priority, const char* bytes,
                     std::size_t length);
    // Closes the link and cancels every pending operation (a camera the
    // loader does not file, or one a reload removes). Every command still on
    // its way is counted now: those waiting or being written as dropped,
    // those already taken whole as written (nobody hears of them).
    void Stop();
    // A network link waits this long before its next retry (a reload).
    void SetRetryInterval(int seconds);

    static constexpr std::size_t MaxPendingBytes = 1 << 20;

private:
    using TimePoint = TimeSource::TimePoint;

    TrackCamera(boost::asio::io_context& io, TimeSource& time, const CameraSettings& settings,
                std::unique_ptr<CameraLink> link, std::unique_ptr<SerialCameraLink> serial,
                int lockTimeSecs);

    CommandWritePath::TransportId CurrentTransport() const;
    std::optional<std::size_t> TransportHolds();
    // Follows the link to its current transport, dropping what waited for the one before.
    void FollowTransport();
    // Writes a command that finds its transport idle.
    void Write(CommandSender sessionId, std::int32_t priority, const char* bytes,
               std::size_t length);
    void OnWritten(CommandWritePath::TransportId transport, const boost::system::error_code& error);
    void WriteWaiting(TimePoint now);
    void CountLate(const CommandWritePath::Late& late);
    // After each decision: logs the end of an episode of drops, and sets the
    // line timer for the next look.
    void Settle(TimePoint now);
    void Ended(CommandOutcome outcome, CommandSender sessionId, std::int32_t priority,
               const boost::system::error_code& error);

    boost::asio::io_context& io;
    TimeSource& time;
    std::string address;
    std::string port;
    std::uint32_t pelcoNumber;
    std::int32_t lockTimeSecs;
    std::uint32_t maxCommandAgeMs;
    CameraRules rules;

    // At most one of the two links exists: none for a camera without an
    // address, the serial link when the port names a device, else the network link.
    std::unique_ptr<SerialCameraLink> serialLink;
    std::unique_ptr<CameraLink> networkLink;
    CommandWritePath writePath;
    // Wakes the write path while commands wait for the line.
    LoopTimer lineTimer;
    std::optional<TimePoint> lineTimerAt;
    CommandCounts counts;
    // The outcomes of writes the transport took at once, posted and not yet
    // counted.
    CommandCounts posted;
    bool stopped = false;
    CommandListener* commandListener = nullptr;
    std::size_t listenerIndex = 0;

    Lifetime lifetime;
};

} // namespace korvel
