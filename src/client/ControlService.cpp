#include "client/ControlService.h"

#include "camera/TrackCamera.h"

#include <chrono>
#include <utility>

namespace korvel {

namespace {

using CameraIndex = Arbitration::CameraIndex;
using Verdict = Arbitration::CommandDecision::Verdict;

} // namespace

ControlService::ControlService(boost::asio::io_context& io, TimeSource& time, CameraTable& cameras)
    : time(time), arbitration({}), holdTimer(io, time)
{
    for (auto& entry : cameras)
        AddCamera(*entry.second);
}

ControlService::~ControlService()
{
    for (TrackCamera* camera : cameraList) {
        if (camera)
            camera->SetCommandListener(nullptr, 0);
    }
}

CameraIndex ControlService::AddCamera(TrackCamera& camera)
{
    const CameraIndex index = arbitration.AddCamera(
        {camera.GetAddress(), camera.GetPelcoNumber(), std::chrono::seconds(camera.GetLockTimeSecs())});
    std::optional<std::uint32_t> nvrId;
    for (CameraIndex earlier = index; earlier-- > 0;) {
        if (arbitration.Address(earlier) == camera.GetAddress()) {
            nvrId = nvrCameraIds[earlier];
            break;
        }
    }
    cameraList.push_back(&camera);
    nvrCameraIds.push_back(nvrId);
    camera.SetCommandListener(this, index);
    return index;
}

void ControlService::RemoveCamera(CameraIndex camera)
{
    cameraList[camera]->SetCommandListener(nullptr, 0);
    cameraList[camera] = nullptr;
    const Arbitration::Removal removal = arbitration.RemoveCamera(camera);
    if (removal.holder != 0)
        observer->HoldLapsed(camera, removal.holder, removal.priority);
    std::size_t sent = 0;
    for (const ConnectionId connection : removal.told) {
        if (const auto notices = operators[connection].lock()) {
            notices->Send(*removal.notice);
            ++sent;
        }
    }
    if (sent > 0)
        observer->NoticesSent(sent);
}

void ControlService::SetLockTime(std::chrono::seconds lockTime)
{
    arbitration.SetLockTime(lockTime);
}

void ControlService::Revoke(ConnectionId connection)
{
    const auto released = arbitration.Revoke(connection);
    for (const auto& release : released)
        observer->HoldLapsed(release.notices.camera, release.holder, release.priority);
    for (const auto& release : released)
        Deliver(release.notices);
}

ControlService::ConnectionId ControlService::Connect(Arbitration::SessionNumber number,
                                                     std::weak_ptr<NoticeSink> notices)
{
    // A connection with the same number replaces the one filed under it,
    // which then hears no more notices.
    const ConnectionId id = arbitration.Connect(number);
    if (id >= operators.size())
        operators.resize(id + 1);
    operators[id] = std::move(notices);
    return id;
}

void ControlService::LogIn(ConnectionId connection, const std::string& userName)
{
    arbitration.LogIn(connection, userName);
}

void ControlService::Disconnect(ConnectionId connection)
{
    arbitration.Disconnect(connection);
    operators[connection].reset();
}

void ControlService::Choose(Arbitration::SessionNumber number)
{
    arbitration.Choose(number);
}

void ControlService::Cancel(Arbitration::SessionNumber number)
{
    arbitration.Cancel(number);
}

// The hold is taken when the write completes (CommandWritten), not here: a
// command admitted now may still be dropped or fail, and one admitted later
// may complete first.
bool ControlService::Steer(ConnectionId from, Arbitration::Priority priority, unsigned pelcoAddress,
                           const char* bytes, std::size_t count)
{
    const auto decision = arbitration.Command(from, priority, pelcoAddress);
    if (decision.selection)
        Deliver(*decision.selection);
    switch (decision.verdict) {
    case Verdict::Forward:
        cameraList[decision.camera]->SendCommand(arbitration.Number(from), priority, bytes, count);
        break;
    case Verdict::Refused:
        observer->CommandRefused(decision.camera, arbitration.Number(from), priority);
        break;
    case Verdict::UnknownCamera:
        observer->UnknownCamera();
        return false;
    case Verdict::NothingToSteer:
        break;
    }
    return true;
}

void ControlService::SetNvrCameraName(const std::string& cameraAddress, const std::string& name)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != Arbitration::NoCamera)
        arbitration.SetNvrName(camera, name);
}

void ControlService::SetNvrCameraId(const std::string& cameraAddress, std::uint32_t id)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != Arbitration::NoCamera)
        nvrCameraIds[camera] = id;
}

bool ControlService::SoftTriggerFired(const std::string& cameraAddress)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera == Arbitration::NoCamera)
        return false;
    const auto selection = arbitration.Select(camera, false);
    if (!selection)
        return false;
    Deliver(*selection);
    observer->HandedOver(camera, selection->to);
    return true;
}

void ControlService::CommandWritten(std::size_t camera, std::uint16_t sessionId,
                                    std::int32_t priority)
{
    if (arbitration.Holder(camera) != sessionId)
        observer->ControlTaken(camera, sessionId, priority);
    Deliver(arbitration.CommandDelivered(camera, sessionId, priority, time.Now()));
    FollowHoldDeadline(arbitration.HoldDeadline(camera));
}

void ControlService::Deliver(const Arbitration::Selection& selection)
{
    if (const auto notices = operators[selection.to].lock()) {
        notices->Send(selection.text);
        observer->NoticesSent(1);
    }
}

void ControlService::Deliver(const Arbitration::Announcement& announcement)
{
    std::size_t sent = 0;
    for (const auto& watcher : arbitration.Watchers(announcement.camera)) {
        if (const auto notices = operators[watcher.second].lock()) {
            notices->Send(watcher.first == announcement.holder ? *announcement.toHolder
                                                               : *announcement.toOthers);
            ++sent;
        }
    }
    if (sent > 0)
        observer->NoticesSent(sent);
}

void ControlService::FollowHoldDeadline(Arbitration::Clock::time_point deadline)
{
    if (holdWaitPending && holdWaitExpiry <= deadline)
        return; // the wait under way ends first and then follows this deadline
    // Setting the expiry cancels a later wait still pending.
    holdWaitPending = true;
    holdWaitExpiry = deadline;
    holdTimer.ExpiresAt(deadline);
    const std::uint64_t wait = ++holdWaitsStarted;
    holdTimer.AsyncWait(lifetime.Guard(
        [this, wait](const boost::system::error_code& error) { OnHoldTimer(wait, error); }));
}

void ControlService::OnHoldTimer(std::uint64_t wait, const boost::system::error_code& error)
{
    if (wait != holdWaitsStarted)
        return; // a wait that an earlier deadline replaced
    holdWaitPending = false;
    if (error)
        return;
    const auto released = arbitration.HoldDeadlinePassed(time.Now());
    for (const auto& release : released)
        observer->HoldLapsed(release.notices.camera, release.holder, release.priority);
    for (const auto& release : released)
        Deliver(release.notices);
    if (const auto next = arbitration.NextHoldDeadline())
        FollowHoldDeadline(*next);
}

} // namespace korvel
