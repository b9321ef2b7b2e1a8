#include "client/OperationsFeed.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ClientSession.h"
#include "client/ControlService.h"
#include "ops/AuditTrail.h"

#include <algorithm>

namespace korvel {

namespace {

const char* LinkText(LinkState state)
{
    switch (state) {
    case LinkState::NoSocket:
    case LinkState::Connecting:
        return "connecting";
    case LinkState::Connected:
        return "connected";
    case LinkState::Waiting:
        return "waiting";
    case LinkState::Open:
        return "open";
    case LinkState::PortClosed:
        return "failed";
    case LinkState::WithoutTransport:
    case LinkState::Stopped:
        break;
    }
    return "no-transport";
}

std::optional<std::string> NameOrNone(const std::string& name)
{
    return name.empty() ? std::nullopt : std::optional<std::string>(name);
}

} // namespace

OperationsFeed::OperationsFeed(ControlService& control, ClientServer& server)
    : control(control), server(server), refusedCommands(control.Decisions().CameraCount())
{
    control.SetObserver(*this);
    server.SetObserver(*this);
}

OperationsFeed::~OperationsFeed()
{
    control.SetObserver(NoOperatorEvents());
    server.SetObserver(NoOperatorEvents());
}

std::optional<std::string> OperationsFeed::UserOf(SessionNumber session) const
{
    const Arbitration& arbitration = control.Decisions();
    const Arbitration::ConnectionId id = arbitration.Registered(session);
    return id == Arbitration::NoConnection ? std::nullopt : NameOrNone(arbitration.UserName(id));
}

void OperationsFeed::FillStatus(StatusSnapshot& status, Arbitration::Clock::time_point now) const
{
    const Arbitration& arbitration = control.Decisions();
    status.cameras.clear();
    for (CameraIndex camera = 0; camera < arbitration.CameraCount(); ++camera) {
        if (!arbitration.Present(camera))
            continue;
        const TrackCamera& track = control.Camera(camera);
        CameraStatus entry;
        entry.pelco = track.GetPelcoNumber();
        entry.address = track.GetAddress();
        entry.port = track.GetPort();
        entry.serial = track.IsSerial();
        const LinkState link = track.GetLinkState();
        entry.link = LinkText(link);
        entry.linkUp = link == LinkState::Connected || link == LinkState::Open;
        entry.nvrCameraId = control.NvrCameraId(camera);
        entry.nvrCameraName = NameOrNone(arbitration.NvrName(camera));
        if (const SessionNumber holder = arbitration.Holder(camera)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                arbitration.HoldDeadline(camera) - now);
            entry.holder = HolderStatus{holder, UserOf(holder), arbitration.HolderPriority(camera),
                                        std::max<std::int64_t>(0, left.count())};
        }
        const TrackCamera::CommandCounts& commands = track.GetCommandCounts();
        entry.forwarded = commands.written;
        entry.refused = camera < refusedCommands.size() ? refusedCommands[camera] : 0;
        entry.dropped = commands.dropped;
        entry.failed = commands.failed;
        if (const auto before = removedCommands.find(entry.pelco);
            before != removedCommands.end()) {
            entry.forwarded += before->second.forwarded;
            entry.refused += before->second.refused;
            entry.dropped += before->second.dropped;
            entry.failed += before->second.failed;
        }
        status.cameras.push_back(std::move(entry));
    }
    std::stable_sort(
        status.cameras.begin(), status.cameras.end(),
        [](const CameraStatus& a, const CameraStatus& b) { return a.pelco < b.pelco; });
    status.removedCameras.clear();
    for (const auto& [pelco, commands] : removedCommands) {
        const bool taken = std::any_of(
            status.cameras.begin(), status.cameras.end(),
            [pelco = pelco](const CameraStatus& camera) { return camera.pelco == pelco; });
        if (!taken)
            status.removedCameras.push_back(commands);
    }

    status.sessions.clear();
    for (const auto& registered : server.Sessions()) {
        const auto session = registered.lock();
        if (!session)
            continue;
        SessionStatus entry;
        entry.session = session->GetNumber();
        entry.client = session->GetClientAddress();
        entry.user = NameOrNone(session->GetUserName());
        entry.priority = session->GetPriority();
        const CameraIndex camera = arbitration.CurrentCamera(session->GetConnection());
        if (camera != Arbitration::NoCamera)
            entry.camera = arbitration.PelcoNumber(camera);
        entry.choosing = arbitration.ChooserSlot() == entry.session &&
                         arbitration.Registered(entry.session) == session->GetConnection();
        status.sessions.push_back(std::move(entry));
    }
    std::stable_sort(
        status.sessions.begin(), status.sessions.end(),
        [](const SessionStatus& a, const SessionStatus& b) { return a.session < b.session; });

    status.counters = counters;
}

void OperationsFeed::CameraRemoved(CameraIndex camera, const TrackCamera& track)
{
    RemovedCameraCommands& removed = removedCommands[track.GetPelcoNumber()];
    removed.pelco = track.GetPelcoNumber();
    const TrackCamera::CommandCounts& commands = track.GetCommandCounts();
    removed.forwarded += commands.written;
    removed.dropped += commands.dropped;
    removed.failed += commands.failed;
    if (camera < refusedCommands.size())
        removed.refused += std::exchange(refusedCommands[camera], 0);
}

void OperationsFeed::SessionStarted()
{
    ++counters.sessionsAccepted;
}

void OperationsFeed::SessionRefused()
{
    ++counters.sessionsRefused;
}

void OperationsFeed::LoginAnswered(const ClientSession& session, const std::string& name,
                                   bool passed, bool knownName)
{
    ++(passed ? counters.loginsOk : counters.loginsFailed);
    if (!audit)
        return;
    AuditRecord record;
    record.event = passed ? "login" : "login-failed";
    record.session = session.GetNumber();
    if (passed) {
        record.user = name;
        record.priority = session.GetPriority();
    } else {
        SetFailedLoginUser(record, name, knownName);
    }
    record.client = session.GetClientAddress();
    audit->Write(record);
}

void OperationsFeed::LoginThrottled()
{
    ++counters.loginsThrottled;
}

void OperationsFeed::SessionEnded(const ClientSession& session)
{
    if (!audit)
        return;
    AuditRecord record;
    record.event = "session-end";
    record.session = session.GetNumber();
    record.user = NameOrNone(session.GetUserName());
    record.client = session.GetClientAddress();
    audit->Write(record);
}

void OperationsFeed::UnknownCamera()
{
    ++counters.unknownCamera;
}

void OperationsFeed::NoticesSent(std::size_t count)
{
    counters.noticesSent += count;
}

// A record of something that happened to a camera and one session, with the
// session's user as it logged in.
AuditRecord OperationsFeed::CameraRecord(const char* event, CameraIndex camera,
                                         SessionNumber session, Priority priority) const
{
    AuditRecord record;
    record.event = event;
    record.camera = control.Decisions().PelcoNumber(camera);
    record.session = session;
    record.user = UserOf(session);
    record.priority = priority;
    return record;
}

void OperationsFeed::ForgetRefusals(CameraIndex camera)
{
    std::erase_if(refusalsAudited,
                  [camera](const auto& entry) { return entry.first.second == camera; });
}

// The arbitration still has the holder until now as the holder.
void OperationsFeed::ControlTaken(CameraIndex camera, SessionNumber session, Priority priority)
{
    ForgetRefusals(camera);
    if (!audit)
        return;
    const Arbitration& arbitration = control.Decisions();
    AuditRecord record = CameraRecord("control", camera, session, priority);
    if (const SessionNumber previous = arbitration.Holder(camera)) {
        record.otherSession = previous;
        record.otherUser = UserOf(previous);
        record.otherPriority = arbitration.HolderPriority(camera);
    }
    audit->Write(record);
}

void OperationsFeed::HoldLapsed(CameraIndex camera, SessionNumber holder, Priority priority)
{
    ForgetRefusals(camera);
    if (audit)
        audit->Write(CameraRecord("release", camera, holder, priority));
}

void OperationsFeed::CommandRefused(CameraIndex camera, SessionNumber session, Priority priority)
{
    if (camera >= refusedCommands.size())
        refusedCommands.resize(camera + 1); // a camera a reload added
    ++refusedCommands[camera];
    if (!audit)
        return;
    const Arbitration& arbitration = control.Decisions();
    const SessionNumber holder = arbitration.Holder(camera);
    const auto [entry, inserted] = refusalsAudited.try_emplace({session, camera}, holder);
    if (!inserted) {
        if (entry->second == holder)
            return; // already recorded for this holder
        entry->second = holder;
    }
    AuditRecord record = CameraRecord("refused", camera, session, priority);
    record.otherSession = holder;
    record.otherUser = UserOf(holder);
    record.otherPriority = arbitration.HolderPriority(camera);
    audit->Write(record);
}

void OperationsFeed::HandedOver(CameraIndex camera, Arbitration::ConnectionId to)
{
    if (!audit)
        return;
    const Arbitration& arbitration = control.Decisions();
    AuditRecord record;
    record.event = "handover";
    record.camera = arbitration.PelcoNumber(camera);
    record.session = arbitration.Number(to);
    record.user = NameOrNone(arbitration.UserName(to));
    audit->Write(record);
}

} // namespace korvel
