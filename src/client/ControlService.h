#pragma once

#include "camera/CameraTable.h"
#include "camera/CommandListener.h"
#include "client/Arbitration.h"
#include "client/Notification.h"
#include "client/OperatorEvents.h"
#include "clock/TimeSource.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

class TrackCamera;

// Camera control for the operators: every event that bears on who steers
// which camera (a command, a completed write, a hold's expiry, a fired soft
// trigger, choose mode) goes to the arbitration (Arbitration), and what it
// decides is carried out here, in one place each: commands to the cameras,
// notices to the operator connections, the one hold timer, the handover. The
// NVR's names for the cameras (sent with the CAMERA message) and their ids
// come in here too. What happens is told to the observer (OperatorEvents).
//
// One command's way: the session registry hands it over (Steer); the
// arbitration admits or refuses it; an admitted one goes to its camera
// (TrackCamera::SendCommand), whose write path reports the completed write
// back here by the camera's index (CommandWritten, the one call back): only
// then does its sender hold the camera, and the connections working with the
// camera are told.
//
// Cameras come and go with a reload (AddCamera, RemoveCamera), each known by
// its slot in the arbitration, which is never given to another camera.
//
// Threads: everything on the I/O loop thread; the NVR side's news is posted
// to the loop.
//
// Lifetime: the hold timer's completions are guarded (see Lifetime); the
// service stops hearing from the cameras when it goes.
class ControlService final : public CommandListener
{
public:
    using CameraIndex = Arbitration::CameraIndex;
    using ConnectionId = Arbitration::ConnectionId;

    // Hears from every camera of the table, each by its place in it; holds
    // last each camera's lock time on `time`.
    ControlService(boost::asio::io_context& io, TimeSource& time, CameraTable& cameras);
    ~ControlService();
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;

    // Who hears what happens from now on (NoOperatorEvents() until then).
    void SetObserver(OperatorEvents& events) { observer = &events; }

    // A reload's changes.
    // Hears from the camera by its new slot; its holds last its lock time.
    // The camera keeps what the NVRs told of a camera removed from its Address.
    CameraIndex AddCamera(TrackCamera& camera);
    // The camera's hold ends (recorded as a lapse) and the connections
    // working with it are told "#0000F0 "; it is heard from no more. The
    // caller closes it.
    void RemoveCamera(CameraIndex camera);
    // The lock time of the holds taken from now on.
    void SetLockTime(std::chrono::seconds lockTime);
    // The connection's user may steer no more: its holds end now, each told
    // and recorded as a lapse, and it leaves choose mode (see
    // Arbitration::Revoke). The registry then ends it.
    void Revoke(ConnectionId connection);

    // The registry's connections. A connection with the number of a live one
    // takes the number over (see Arbitration).
    ConnectionId Connect(Arbitration::SessionNumber number, std::weak_ptr<NoticeSink> notices);
    // The name that "has control" shows for the connection from now on.
    void LogIn(ConnectionId connection, const std::string& userName);
    void Disconnect(ConnectionId connection);

    // The operators' messages.
    // CHOOSE: the session enters choose mode when nobody is in it.
    void Choose(Arbitration::SessionNumber number);
    // CANCEL: the session leaves choose mode if it is in it.
    void Cancel(Arbitration::SessionNumber number);
    // A camera command from the connection, addressed by its second byte,
    // with the sender's priority as it stands: false when no camera has that
    // Pelco address.
    bool Steer(ConnectionId from, Arbitration::Priority priority, unsigned pelcoAddress,
               const char* bytes, std::size_t count);

    // The NVR side, by the camera's configured address.
    // The camera's name on its NVR, sent with its CAMERA message from now on.
    void SetNvrCameraName(const std::string& cameraAddress, const std::string& name);
    // The camera's id on its NVR, for the operations view.
    void SetNvrCameraId(const std::string& cameraAddress, std::uint32_t id);
    // The camera's soft trigger fired: the session in choose mode, if it is
    // still registered, works with the camera from now on, is sent its CAMERA
    // message (handed over: "0", with the NVR's name when known) and leaves
    // choose mode; the handover is recorded. With nobody in choose mode
    // nothing happens. True when a session got the camera.
    bool SoftTriggerFired(const std::string& cameraAddress);

    // The cameras: a command's write has completed, so its sender holds the
    // camera.
    void CommandWritten(std::size_t camera, std::uint16_t sessionId,
                        std::int32_t priority) override;

    // For the operations view.
    const Arbitration& Decisions() const { return arbitration; }
    // The time source of the operator service's timers.
    TimeSource& Time() const { return time; }
    // Only for a camera that is present (Arbitration::Present).
    const TrackCamera& Camera(CameraIndex camera) const { return *cameraList[camera]; }
    const std::optional<std::uint32_t>& NvrCameraId(CameraIndex camera) const
    {
        return nvrCameraIds[camera];
    }

private:
    void Deliver(const Arbitration::Selection& selection);
    void Deliver(const Arbitration::Announcement& announcement);
    void FollowHoldDeadline(Arbitration::Clock::time_point deadline);
    void OnHoldTimer(std::uint64_t wait, const boost::system::error_code& error);

    TimeSource& time;
    Arbitration arbitration;
    // The cameras by Arbitration::CameraIndex; null for a removed one.
    std::vector<TrackCamera*> cameraList;
    std::vector<std::optional<std::uint32_t>> nvrCameraIds;
    // Where each connection's notices go, by Arbitration::ConnectionId.
    std::vector<std::weak_ptr<NoticeSink>> operators;
    OperatorEvents* observer = &NoOperatorEvents();
    // Ends the holds. Its one wait runs until the earliest deadline known when
    // it began; a command delivered meanwhile only moves a deadline on, and
    // the wait, once over, follows the next one rather than being cancelled
    // and restarted for every command.
    LoopTimer holdTimer;
    bool holdWaitPending = false;
    Arbitration::Clock::time_point holdWaitExpiry{};
    std::uint64_t holdWaitsStarted = 0;
    Lifetime lifetime;
};

} // namespace korvel
