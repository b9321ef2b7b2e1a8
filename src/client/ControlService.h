#pragma once

#include "camera/CameraTable.h"
#include "camera/CommandListener.h"
#include "client/Arbitration.h"
#include "client/CameraSafety.h"
#include "client/ConnectionTable.h"
#include "client/LineBudget.h"
#include "client/Notification.h"
#include "client/OperatorEvents.h"
#include "client/OperatorMessage.h"
#include "clock/TimeSource.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"
#include "ops/StatusSnapshot.h"
#include "ops/SupervisorActions.h"

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

class TrackCamera;

// Camera control for the operators: every event that bears on who steers
// which camera (a command, a completed write, a hold's expiry, a fired soft
// trigger, choose mode) goes to the arbitration (Arbitration), and what it
// decides is carried out here, in one place each: commands to the cameras,
// notices to the operator connections (each fan-out over the watchers as
// they stand before the first send), the one hold timer, the handover. The
// NVR's names for the cameras (sent with the CAMERA message) and their ids
// come in here too. What happens is told to the observer (OperatorEvents),
// each event with its data.
//
// One command's way: the session registry hands it over (Handle); the
// arbitration admits or refuses it; an admitted one goes to its camera
// (TrackCamera::SendCommand), whose write path reports the completed write
// back here by the camera's slot (CommandWritten, the one call back): only
// then does its sender hold the camera, and the camera's watchers are told.
//
// Cameras come and go with a reload (AddCamera, RemoveCamera), each known by
// its slot in the arbitration.
//
// What the service writes to a camera of its own accord (stop, home,
// patrol: CameraSafety, one per camera that has such rules) goes the way of
// an operator's command, through the camera's write path, tagged with
// ServiceWriteTag, which no session has: its completed write takes no hold
// and nobody is told. A supervisor's release and reservation (the
// supervisor desk) come in here too, and a reservation's end on the hold
// timer.
//
// Threads: everything on the I/O loop thread; the NVR side's news is posted
// to the loop. Lifetime: the hold timer's completions are guarded (see
// Lifetime); the service stops hearing from the cameras when it goes.
class ControlService final : public CommandListener
{
public:
    // Hears from every camera of the table, each by its slot; holds last
    // each camera's lock time on `time`. The connections are those of the
    // registry's table.
    ControlService(boost::asio::io_context& io, TimeSource& time, CameraTable& cameras,
                   ConnectionTable& connections);
    ~ControlService();
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;

    // Who hears what happens from now on (NoOperatorEvents() until then).
    void SetObserver(OperatorEvents& events) { observer = &events; }

    // A reload's changes.
    // Hears from the camera by its slot; its holds last its lock time. The
    // camera keeps what the NVRs told of a camera removed from its Address.
    void AddCamera(TrackCamera& camera);
    // The camera at the address, if it is here, stopped already: its hold
    // ends (recorded as a lapse) and its watchers are told "#0000F0 "; it is
    // heard from no more, and its commands are told to the observer.
    // `rebuilt`: the reload builds it again at once (AddCamera), and its
    // reservation and patrol go over to the new one; anything not taken
    // over ends with EndCarriedOver.
    void RemoveCamera(const std::string& address, bool rebuilt = false);
    void EndCarriedOver();
    // The site's lock time, of the holds taken from now on of the cameras
    // without one of their own.
    void SetLockTime(std::chrono::seconds lockTime);
    // A reload changed only the camera's rules: they apply from now on,
    // its hold, reservation and patrol kept.
    void SetCameraRules(const std::string& address, const CameraRules& rules);
    // The connection's user may steer no more: its holds end now, each told
    // and recorded as a lapse, and it leaves choose mode (see
    // Arbitration::Revoke). The registry ends the session itself.
    void Revoke(ConnectionId connection);
    // The connection has ended and is about to leave the table: a camera it
    // held, as the connection with its key, is stopped (StopOnRelease); the
    // hold itself lasts its time.
    void ConnectionEnded(ConnectionId connection);

    // A supervisor's actions on the camera with the Pelco number (see
    // SupervisorActions), each told to the observer.
    SupervisorActions::Result Release(std::uint32_t pelco, const std::string& supervisor);
    SupervisorActions::Result Reserve(std::uint32_t pelco,
                                      const std::optional<std::string>& forUser,
                                      std::chrono::minutes minutes, const std::string& supervisor);
    SupervisorActions::Result Unreserve(std::uint32_t pelco, const std::string& supervisor);

    // The tag of the service's own writes: no session has number 0.
    static constexpr CommandSender ServiceWriteTag = ~CommandSender{0} << 16;

    // Cameras in use, for the descriptors they need.
    std::size_t CamerasInUse() const { return arbitration.CamerasPresent(); }

    // An operator's CHOOSE, CANCEL or camera command (the count bytes at
    // `bytes`), from the connection with its priority as it stands. A command
    // for a Pelco address that no camera has is logged, within its client
    // address's share of such lines (LineBudget).
    void Handle(ConnectionId from, const OperatorMessage& message, const char* bytes,
                std::size_t count);

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
    // The sender is the tag its command carried (SessionKey); a session
    // number alone names whoever has the number.
    void CommandWritten(std::size_t camera, CommandSender sessionId,
                        std::int32_t priority) override;

    // The cameras in Pelco order with their holders as they stand at `now`,
    // and the sessions in number order, for the operations view.
    void Describe(StatusSnapshot& status, TimeSource::TimePoint now) const;

    // The run stops: the hold timer ends.
    void Close();

private:
    void Steer(ConnectionId from, Priority priority, unsigned pelcoAddress, const char* bytes,
               std::size_t count);
    void Deliver(const Arbitration::Selection& selection);
    void Deliver(const Arbitration::Announcement& announcement);
    void Lapsed(const std::vector<Arbitration::Release>& released);
    void Unreserved(const Arbitration::Unreserved& unreserved,
                    OperatorEvents::SupervisorActionKind kind, const std::string& supervisor,
                    const std::string& result);
    // The camera's safety rules after a change of its hold or reservation:
    // the stop when a hold ended, and the idle count once it is free.
    void HoldEnded(CameraIndex camera);
    void MaybeFreed(CameraIndex camera);
    void WriteService(CameraIndex camera, const CameraSafety::Write& write);
    void FollowSafety(CameraIndex camera);
    CameraSafety* Safety(CameraIndex camera) const
    {
        return camera < safety.size() ? safety[camera].get() : nullptr;
    }
    void SetRules(CameraIndex camera, const CameraRules& rules);
    void FollowDeadlines();
    SessionFacts Facts(SessionKey session, Priority priority) const;

    TimeSource& time;
    ConnectionTable& connections;
    Arbitration arbitration;
    // The cameras by slot; null for a free one.
    std::vector<TrackCamera*> cameraList;
    std::vector<std::optional<std::uint32_t>> nvrCameraIds;
    // The NVR ids of removed cameras by Address, for a camera added there again.
    std::map<std::string, std::uint32_t> removedNvrIds;
    // A timer that follows the earliest of some deadlines: its one wait runs
    // until the earliest deadline known when it began; one that only moves
    // on meanwhile leaves the wait alone, and the wait, once over, follows
    // the next one rather than being cancelled and restarted for every
    // command.
    struct FollowedWait
    {
        FollowedWait(boost::asio::io_context& io, TimeSource& time) : timer(io, time) {}
        LoopTimer timer;
        bool pending = false;
        Arbitration::Clock::time_point expiry{};
        std::uint64_t started = 0;
    };
    // Calls `due` (guarded) once the deadline, or an earlier one, is there.
    void Follow(FollowedWait& wait, Arbitration::Clock::time_point deadline, void (ControlService::*due)());
    void EndWait(FollowedWait& wait);
    void OnHoldTimer();
    void OnSafetyTimer();
    // Ends the holds and the reservations.
    FollowedWait holdWait;
    OperatorEvents* observer = &NoOperatorEvents();
    // The sessions of one fan-out, kept between fan-outs for its storage.
    std::vector<std::pair<OperatorSession*, const Notification*>> fanOut;
    LineBudget unknownCameraLines;
    // The site's lock time, for the cameras without one of their own.
    std::chrono::seconds siteLockTime{5};
    // By slot: the safety rules of the cameras that have some.
    std::vector<std::unique_ptr<CameraSafety>> safety;
    std::vector<CameraRules> rulesOf;
    // Reservations and safety states of cameras a reload is building again.
    struct CarriedOver
    {
        std::uint32_t pelco = 0;
        std::optional<Arbitration::Reservation> reservation;
        std::unique_ptr<CameraSafety> safety;
    };
    std::map<std::string, CarriedOver> carriedOver;
    // Wakes the safety rules at the earliest time one of them is due.
    FollowedWait safetyWait;
    Lifetime lifetime;
};

} // namespace korvel
