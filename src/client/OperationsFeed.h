#pragma once

#include "client/OperatorEvents.h"
#include "clock/TimeSource.h"
#include "ops/AuditRecord.h"
#include "ops/StatusSnapshot.h"

#include <cstdint>
#include <map>
#include <utility>

namespace korvel {

class AuditTrail;
class ClientServer;
class ControlService;

// The operator side as the operations view sees it: hears what the session
// registry and the control service tell (OperatorEvents), counts it and
// records it in the control audit trail, all from what the events carry; the
// status snapshot takes the cameras and sessions as the control service
// describes them, and the counters from here.
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
    void FillStatus(StatusSnapshot& status, TimeSource::TimePoint now) const;

    void SessionStarted() override;
    void SessionRefused() override;
    void SessionEvicted() override;
    void LineNotLogged(LineKind kind) override;
    void LoginAnswered(const Login& login) override;
    void LoginThrottled() override;
    void SessionEnded(const Ended& ended) override;
    void UnknownCamera() override;
    void CommandRefused(const CameraEvent& refused) override;
    void ControlTaken(const CameraEvent& taken) override;
    void HoldLapsed(const CameraEvent& lapsed) override;
    void HandedOver(const CameraEvent& handover) override;
    // Its commands stay counted under its Pelco number, and a camera that
    // takes the number later counts on from them: a Pelco number's counters
    // count from the start of the run.
    void CameraRemoved(CameraIndex camera, const RemovedCameraCommands& commands) override;
    void NoticesSent(std::size_t count) override;
    void ServiceWritten(const ServiceWrite& write) override;
    void SupervisorActed(const SupervisorAction& action) override;

private:
    // A change of holder, a lapse or a removal: the camera's refusals may be
    // recorded anew.
    void ForgetRefusals(CameraIndex camera);
    void Record(const AuditRecord& record);

    ControlService& control;
    ClientServer& server;
    OperatorCounters counters;
    AuditTrail* audit = nullptr;
    // The refusals recorded: (session, camera) to the holder that refused
    // them, so that a held joystick is recorded once per holder.
    std::map<std::pair<SessionNumber, CameraIndex>, SessionNumber> refusalsAudited;
    // The commands of the cameras that have gone, by Pelco number.
    std::map<std::uint32_t, RemovedCameraCommands> removedCommands;
};

} // namespace korvel
