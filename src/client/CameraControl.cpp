// The client service's side of camera control: each event goes to the
// arbitration, and what it decides is carried out here, to the sessions, the
// cameras and the hold timer.
#include "client/ClientServer.h"

#include "camera/TrackCamera.h"
#include "client/ClientSession.h"

#include <boost/asio/error.hpp>

namespace korvel {

namespace {

using CameraIndex = Arbitration::CameraIndex;
using Verdict = Arbitration::CommandDecision::Verdict;

} // namespace

std::string ClientServer::CameraForPelco(unsigned pelcoAddress) const
{
    const CameraIndex camera = arbitration.CameraByPelco(pelcoAddress);
    return camera == Arbitration::NoCamera ? std::string() : arbitration.Address(camera);
}

bool ClientServer::CheckLogin(const std::string& name, const std::string& password) const
{
    const auto user = users.find(name);
    return user != users.end() &&
           (user->second.password.empty() || user->second.password == password);
}

std::int32_t ClientServer::PriorityOf(const std::string& name) const
{
    const auto user = users.find(name);
    return user == users.end() ? 0 : user->second.priority;
}

void ClientServer::EnterChooseMode(std::uint16_t sessionId)
{
    arbitration.Choose(sessionId);
}

void ClientServer::LeaveChooseMode(std::uint16_t sessionId)
{
    arbitration.Cancel(sessionId);
}

bool ClientServer::SteerCamera(ClientSession& session, unsigned pelcoAddress, const char* bytes,
                               std::size_t count)
{
    if (session.GetConnection() == Arbitration::NoConnection)
        return true; // a session that has left steers nothing
    const auto decision =
        arbitration.Command(session.GetConnection(), session.GetPriority(), pelcoAddress);
    if (decision.selection)
        Deliver(*decision.selection);
    switch (decision.verdict) {
    case Verdict::Forward:
        Forward(decision.camera, session.GetNumber(), session.GetPriority(), bytes, count);
        break;
    case Verdict::Refused:
        ++refusedCommands[decision.camera];
        AuditRefusal(decision.camera, session.GetNumber(), session.GetPriority());
        break;
    case Verdict::UnknownCamera:
        ++counters.unknownCamera;
        return false;
    case Verdict::NothingToSteer:
        break;
    }
    return true;
}

void ClientServer::SelectCamera(const std::string& cameraAddress, bool causedByCommand)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera == Arbitration::NoCamera)
        return;
    if (const auto selection = arbitration.Select(camera, causedByCommand)) {
        Deliver(*selection);
        if (!causedByCommand)
            AuditHandover(camera, selection->to);
    }
}

bool ClientServer::SoftTriggerFired(const std::string& cameraAddress)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera == Arbitration::NoCamera)
        return false;
    const auto selection = arbitration.Select(camera, false);
    if (!selection)
        return false;
    Deliver(*selection);
    AuditHandover(camera, selection->to);
    return true;
}

void ClientServer::SetNvrCameraId(const std::string& cameraAddress, std::uint32_t id)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != Arbitration::NoCamera)
        nvrCameraIds[camera] = id;
}

void ClientServer::SetNvrCameraName(const std::string& cameraAddress, const std::string& name)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != Arbitration::NoCamera)
        arbitration.SetNvrName(camera, name);
}

void ClientServer::SubmitCommand(const std::string& cameraAddress, std::uint16_t sessionId,
                                 std::int32_t priority, const char* bytes, std::size_t count)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera == Arbitration::NoCamera)
        return;
    if (arbitration.Admits(camera, sessionId, priority)) {
        Forward(camera, sessionId, priority, bytes, count);
    } else {
        ++refusedCommands[camera];
        AuditRefusal(camera, sessionId, priority);
    }
}

void ClientServer::AnnounceControl(const std::string& cameraAddress, std::uint16_t holderSession)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != Arbitration::NoCamera)
        Deliver(arbitration.ControlAnnouncement(camera, holderSession));
}

void ClientServer::AnnounceRelease(const std::string& cameraAddress)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != Arbitration::NoCamera)
        Deliver(arbitration.ReleaseAnnouncement(camera));
}

void ClientServer::CommandWritten(const std::string& cameraAddress, std::uint16_t sessionId,
                                  std::int32_t priority)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != Arbitration::NoCamera)
        Delivered(camera, sessionId, priority);
}

// The hold is taken when the write completes (CommandWritten), not here: a
// command admitted now may still be dropped or fail, and one admitted later
// may complete first.
void ClientServer::Forward(CameraIndex camera, std::uint16_t sessionId, std::int32_t priority,
                           const char* bytes, std::size_t count)
{
    cameraList[camera]->SendCommand(sessionId, priority, bytes, count);
}

void ClientServer::Delivered(CameraIndex camera, std::uint16_t sessionId, std::int32_t priority)
{
    AuditControl(camera, sessionId, priority);
    Deliver(arbitration.CommandDelivered(camera, sessionId, priority, Arbitration::Clock::now()));
    FollowHoldDeadline(arbitration.HoldDeadline(camera));
}

void ClientServer::Deliver(const Arbitration::Selection& selection)
{
    if (const auto session = connections[selection.to].lock()) {
        session->Send(selection.text);
        ++counters.noticesSent;
    }
}

void ClientServer::Deliver(const Arbitration::Announcement& announcement)
{
    for (const auto& watcher : arbitration.Watchers(announcement.camera)) {
        if (const auto session = connections[watcher.second].lock()) {
            session->Send(watcher.first == announcement.holder ? *announcement.toHolder
                                                               : *announcement.toOthers);
            ++counters.noticesSent;
        }
    }
}

void ClientServer::FollowHoldDeadline(Arbitration::Clock::time_point deadline)
{
    if (holdWaitPending && holdWaitExpiry <= deadline)
        return; // the wait under way ends first and then follows this deadline
    // Setting the expiry cancels a later wait still pending.
    holdWaitPending = true;
    holdWaitExpiry = deadline;
    holdTimer.expires_at(deadline);
    const std::uint64_t wait = ++holdWaitsStarted;
    holdTimer.async_wait(lifetime.Guard(
        [this, wait](const boost::system::error_code& error) { OnHoldTimer(wait, error); }));
}

void ClientServer::OnHoldTimer(std::uint64_t wait, const boost::system::error_code& error)
{
    if (wait != holdWaitsStarted)
        return; // a wait that an earlier deadline replaced
    holdWaitPending = false;
    if (error)
        return;
    const auto now = Arbitration::Clock::now();
    AuditReleases(now);
    for (const auto& release : arbitration.HoldDeadlinePassed(now))
        Deliver(release);
    if (const auto next = arbitration.NextHoldDeadline())
        FollowHoldDeadline(*next);
}

} // namespace korvel
