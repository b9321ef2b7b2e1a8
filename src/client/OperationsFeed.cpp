#include "client/OperationsFeed.h"

#include "client/ClientServer.h"
#include "client/ControlService.h"
#include "ops/AuditTrail.h"

namespace korvel {

namespace {

// A record of something that happened to a camera and one session.
AuditRecord CameraRecord(const char* event, const OperatorEvents::CameraEvent& happened)
{
    AuditRecord record;
    record.event = event;
    record.camera = happened.pelco;
    record.session = happened.session.session;
    record.user = happened.session.user;
    record.priority = happened.session.priority;
    if (happened.other) {
        record.otherSession = happened.other->session;
        record.otherUser = happened.other->user;
        record.otherPriority = happened.other->priority;
    }
    return record;
}

} // namespace

OperationsFeed::OperationsFeed(ControlService& control, ClientServer& server)
    : control(control), server(server)
{
    control.SetObserver(*this);
    server.SetObserver(*this);
}

OperationsFeed::~OperationsFeed()
{
    control.SetObserver(NoOperatorEvents());
    server.SetObserver(NoOperatorEvents());
}

void OperationsFeed::FillStatus(StatusSnapshot& status, TimeSource::TimePoint now) const
{
    control.Describe(status, now);
    status.removedCameras.clear();
    auto camera = status.cameras.begin(); // both in Pelco order
    for (const auto& [pelco, before] : removedCommands) {
        while (camera != status.cameras.end() && camera->pelco < pelco)
            ++camera;
        if (camera == status.cameras.end() || camera->pelco != pelco) {
            status.removedCameras.push_back(before);
            continue;
        }
        camera->forwarded += before.forwarded;
        camera->refused += before.refused;
        camera->dropped += before.dropped;
        camera->failed += before.failed;
    }
    status.counters = counters;
}

void OperationsFeed::Record(const AuditRecord& record)
{
    if (audit)
        audit->Write(record);
}

void OperationsFeed::SessionStarted()
{
    ++counters.sessionsAccepted;
}

void OperationsFeed::SessionRefused()
{
    ++counters.sessionsRefused;
}

void OperationsFeed::SessionEvicted()
{
    ++counters.sessionsEvicted;
}

void OperationsFeed::LineNotLogged(LineKind kind)
{
    ++(kind == LineKind::UnknownCamera ? counters.unknownCameraLinesSkipped
                                       : counters.ignoredCommandLinesSkipped);
}

void OperationsFeed::LoginAnswered(const Login& login)
{
    ++(login.passed ? counters.loginsOk : counters.loginsFailed);
    if (!audit)
        return;
    AuditRecord record;
    record.event = login.passed ? "login" : "login-failed";
    record.session = login.session;
    if (login.passed) {
        record.user = login.name;
        record.priority = login.priority;
    } else {
        SetFailedLoginUser(record, login.name, login.knownName);
    }
    record.client = login.client;
    Record(record);
}

void OperationsFeed::LoginThrottled()
{
    ++counters.loginsThrottled;
}

void OperationsFeed::SessionEnded(const Ended& ended)
{
    if (!audit)
        return;
    AuditRecord record;
    record.event = "session-end";
    record.session = ended.session;
    record.user = ended.user;
    record.client = ended.client;
    Record(record);
}

void OperationsFeed::UnknownCamera()
{
    ++counters.unknownCamera;
}

void OperationsFeed::NoticesSent(std::size_t count)
{
    counters.noticesSent += count;
}

void OperationsFeed::ForgetRefusals(CameraIndex camera)
{
    std::erase_if(refusalsAudited,
                  [camera](const auto& entry) { return entry.first.second == camera; });
}

void OperationsFeed::ControlTaken(const CameraEvent& taken)
{
    ForgetRefusals(taken.camera);
    Record(CameraRecord("control", taken));
}

void OperationsFeed::HoldLapsed(const CameraEvent& lapsed)
{
    ForgetRefusals(lapsed.camera);
    Record(CameraRecord("release", lapsed));
}

void OperationsFeed::ServiceWritten(const ServiceWrite& write)
{
    AuditRecord record;
    record.session.reset();
    record.camera = write.pelco;
    switch (write.kind) {
    case ServiceWriteKind::Stop:
        ++counters.serviceStops;
        record.event = "stop";
        break;
    case ServiceWriteKind::Home:
        ++counters.serviceHomes;
        record.event = "home";
        record.preset = write.preset;
        break;
    case ServiceWriteKind::Patrol:
        ++counters.servicePatrols;
        record.event = "patrol";
        record.preset = write.preset;
        break;
    }
    Record(record);
}

void OperationsFeed::SupervisorActed(const SupervisorAction& action)
{
    static constexpr const char* Events[] = {"supervisor-login",     "supervisor-release",
                                             "supervisor-reserve",   "supervisor-unreserve",
                                             "supervisor-end",       "reservation-lapse"};
    AuditRecord record;
    record.event = Events[static_cast<int>(action.kind)];
    record.supervisor = action.supervisor;
    record.result = action.result;
    record.camera = action.pelco;
    record.session.reset();
    if (action.session) {
        record.session = action.session->session;
        record.user = action.session->user;
    }
    if (action.kind == SupervisorActionKind::Reserve ||
        action.kind == SupervisorActionKind::ReservationLapsed) {
        record.reservedFor = action.forUser;
        record.reservation = true;
    }
    record.minutes = action.minutes;
    if (!action.client.empty())
        record.client = action.client;
    Record(record);
}

void OperationsFeed::CameraRemoved(CameraIndex camera, const RemovedCameraCommands& commands)
{
    ForgetRefusals(camera);
    RemovedCameraCommands& removed = removedCommands[commands.pelco];
    removed.pelco = commands.pelco;
    removed.forwarded += commands.forwarded;
    removed.refused += commands.refused;
    removed.dropped += commands.dropped;
    removed.failed += commands.failed;
}

void OperationsFeed::CommandRefused(const CameraEvent& refused)
{
    if (!audit)
        return;
    const SessionNumber holder = refused.other ? refused.other->session : 0;
    const auto [entry, inserted] =
        refusalsAudited.try_emplace({refused.session.session, refused.camera}, holder);
    if (!inserted) {
        if (entry->second == holder)
            return; // already recorded for this holder
        entry->second = holder;
    }
    Record(CameraRecord("refused", refused));
}

void OperationsFeed::HandedOver(const CameraEvent& handover)
{
    if (!audit)
        return;
    AuditRecord record;
    record.event = "handover";
    record.camera = handover.pelco;
    record.session = handover.session.session;
    record.user = handover.session.user;
    Record(record);
}

} // namespace korvel
