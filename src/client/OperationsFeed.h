#pragma once

#include "client/Arbitration.h"
#include "client/OperatorEvents.h"
#include "ops/AuditRecord.h"
#include "ops/StatusSnapshot.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

class AuditTrail;
class ClientServer;
class ControlService;
class TrackCamera;

// The operator side as the operations view sees it: hears what the session
// registry and the control service tell (OperatorEvents), counts it and
// records it in the control audit trail, and fills the status snapshot from
// the counters and the state of the two.
//
// From its construction until it goes, it is the observer of both.
//
// Threads: everything on the I/O loop thread.
class OperationsFeed final : public OperatorEvents
{
public:
    OperationsFeed(ControlService& control, ClientServer& server);
    ~OperationsFeed() override;
    OperationsFeed(const OperationsFeed&) = delete;
    OperationsFeed& operator=(const OperationsFeed&) = delete;

    // Where logins, control changes, refusals, handovers and session ends
    // are recorded; null (the default) for nowhere.
    void SetAuditTrail(AuditTrail* trail) { audit = trail; }
    // The cameras in Pelco order with their holders, the sessions and the
    // counters, as they stand at `now`.
    void FillStatus(StatusSnapshot& status, Arbitration::Clock::time_point now) const;
    // A reload removed the camera (or changed it: removed, then added
    // again), stopped already, so that what still waited for it counts as
    // dropped. Its commands stay counted under its Pelco number, and a
    // camera that takes the number later counts on from them: a Pelco
    // number's counters count from the start of the run.
    void CameraRemoved(CameraIndex camera, const TrackCamera& track);

    void SessionStarted() override;
    void SessionRefused() override;
    void LoginAnswered(const ClientSession& session, const std::string& name, bool passed,
                       bool knownName) override;
    void LoginThrottled() override;
    void SessionEnded(const ClientSession& session) override;
    void UnknownCamera() override;
    void CommandRefused(CameraIndex camera, SessionNumber session, Priority priority) override;
    void ControlTaken(CameraIndex camera, SessionNumber session, Priority priority) override;
    void HoldLapsed(CameraIndex camera, SessionNumber holder, Priority priority) override;
    void HandedOver(CameraIndex camera, Arbitration::ConnectionId to) override;
    void NoticesSent(std::size_t count) override;

private:
    AuditRecord CameraRecord(const char* event, CameraIndex camera, SessionNumber session,
                             Priority priority) const;
    // A change of holder or a lapse: the camera's refusals may be recorded anew.
    void ForgetRefusals(CameraIndex camera);
    // The user name of the registered session with that number, none when
    // it is not registered or never logged in.
    std::optional<std::string> UserOf(SessionNumber session) const;

    ControlService& control;
    ClientServer& server;
    OperatorCounters counters;
    // By Arbitration::CameraIndex; a camera added later has no entry until
    // its first refusal.
    std::vector<std::uint64_t> refusedCommands;
    // The commands of the cameras that have gone, by Pelco number.
    std::map<std::uint32_t, RemovedCameraCommands> removedCommands;
    AuditTrail* audit = nullptr;
    // The refusals recorded: (session, camera) to the holder that refused
    // them, so that a held joystick is recorded once per holder. A change of
    // holder or a lapse forgets the camera's entries.
    std::map<std::pair<SessionNumber, CameraIndex>, SessionNumber> refusalsAudited;
};

} // namespace korvel
