// The client service's part of the operations view: its state as a status
// value, its counters, and its records in the control audit trail.
#include "client/ClientServer.h"

#include "camera/TrackCamera.h"
#include "client/ClientSession.h"
#include "ops/AuditTrail.h"

#include <algorithm>

namespace korvel {

namespace {

using CameraIndex = Arbitration::CameraIndex;

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

std::optional<std::string> ClientServer::UserOf(std::uint16_t sessionId) const
{
    const auto session = FindSession(sessionId);
    return session ? NameOrNone(session->GetUserName()) : std::nullopt;
}

void ClientServer::FillStatus(StatusSnapshot& status, Arbitration::Clock::time_point now) const
{
    status.cameras.clear();
    for (CameraIndex camera = 0; camera < arbitration.CameraCount(); ++camera) {
        const TrackCamera& track = *cameraList[camera];
        CameraStatus entry;
        entry.pelco = track.GetPelcoNumber();
        entry.address = track.GetAddress();
        entry.port = track.GetPort();
        entry.serial = track.IsSerial();
        const LinkState link = track.GetLinkState();
        entry.link = LinkText(link);
        entry.linkUp = link == LinkState::Connected || link == LinkState::Open;
        entry.nvrCameraId = nvrCameraIds[camera];
        entry.nvrCameraName = NameOrNone(arbitration.NvrName(camera));
        if (const std::uint16_t holder = arbitration.Holder(camera)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                arbitration.HoldDeadline(camera) - now);
            entry.holder = HolderStatus{holder, UserOf(holder), arbitration.HolderPriority(camera),
                                        std::max<std::int64_t>(0, left.count())};
        }
        const TrackCamera::CommandCounts& commands = track.GetCommandCounts();
        entry.forwarded = commands.written;
        entry.refused = refusedCommands[camera];
        entry.dropped = commands.dropped;
        entry.failed = commands.failed;
        status.cameras.push_back(std::move(entry));
    }
    std::stable_sort(
        status.cameras.begin(), status.cameras.end(),
        [](const CameraStatus& a, const CameraStatus& b) { return a.pelco < b.pelco; });

    status.sessions.clear();
    for (const auto& connection : connections) {
        const auto session = connection.lock();
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

void ClientServer::LoginAnswered(const ClientSession& session, const std::string& name, bool passed)
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
        SetFailedLoginUser(record, name, users.count(name) > 0);
    }
    record.client = session.GetClientAddress();
    audit->Write(record);
}

// A record of something that happened to a camera and one session, with the
// session's user as it logged in.
AuditRecord ClientServer::CameraRecord(const char* event, CameraIndex camera,
                                       std::uint16_t sessionId, std::int32_t priority) const
{
    AuditRecord record;
    record.event = event;
    record.camera = arbitration.PelcoNumber(camera);
    record.session = sessionId;
    record.user = UserOf(sessionId);
    record.priority = priority;
    return record;
}

void ClientServer::ForgetRefusals(CameraIndex camera)
{
    std::erase_if(refusalsAudited,
                  [camera](const auto& entry) { return entry.first.second == camera; });
}

// Before the arbitration records the new hold: the holder until now is the
// previous one.
void ClientServer::AuditControl(CameraIndex camera, std::uint16_t sessionId, std::int32_t priority)
{
    const std::uint16_t previous = arbitration.Holder(camera);
    if (previous == sessionId)
        return; // the holder goes on steering
    ForgetRefusals(camera);
    if (!audit)
        return;
    AuditRecord record = CameraRecord("control", camera, sessionId, priority);
    if (previous != 0) {
        record.otherSession = previous;
        record.otherUser = UserOf(previous);
        record.otherPriority = arbitration.HolderPriority(camera);
    }
    audit->Write(record);
}

void ClientServer::AuditReleases(Arbitration::Clock::time_point now)
{
    for (CameraIndex camera = 0; camera < arbitration.CameraCount(); ++camera) {
        const std::uint16_t holder = arbitration.Holder(camera);
        if (holder == 0 || now < arbitration.HoldDeadline(camera))
            continue;
        ForgetRefusals(camera);
        if (audit)
            audit->Write(
                CameraRecord("release", camera, holder, arbitration.HolderPriority(camera)));
    }
}

void ClientServer::AuditRefusal(CameraIndex camera, std::uint16_t sessionId, std::int32_t priority)
{
    if (!audit)
        return;
    const std::uint16_t holder = arbitration.Holder(camera);
    const auto [entry, inserted] = refusalsAudited.try_emplace({sessionId, camera}, holder);
    if (!inserted) {
        if (entry->second == holder)
            return; // already recorded for this holder
        entry->second = holder;
    }
    AuditRecord record = CameraRecord("refused", camera, sessionId, priority);
    record.otherSession = holder;
    record.otherUser = UserOf(holder);
    record.otherPriority = arbitration.HolderPriority(camera);
    audit->Write(record);
}

void ClientServer::AuditHandover(CameraIndex camera, Arbitration::ConnectionId to)
{
    if (!audit)
        return;
    const auto session = connections[to].lock();
    if (!session)
        return;
    AuditRecord record;
    record.event = "handover";
    record.camera = arbitration.PelcoNumber(camera);
    record.session = session->GetNumber();
    record.user = NameOrNone(session->GetUserName());
    audit->Write(record);
}

void ClientServer::AuditSessionEnd(const ClientSession& session)
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

} // namespace korvel
