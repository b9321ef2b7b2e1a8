#include "client/ControlService.h"

#include "camera/TrackCamera.h"
#include "log/LogFile.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace korvel {

namespace {

using Verdict = Arbitration::CommandDecision::Verdict;

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

} // namespace

ControlService::ControlService(boost::asio::io_context& io, TimeSource& time, CameraTable& cameras,
                               ConnectionTable& table)
    : time(time), connections(table), arbitration(table, {}), holdTimer(io, time)
{
    for (auto& entry : cameras)
        AddCamera(*entry.second);
}

ControlService::~ControlService()
{
    for (TrackCamera* camera : cameraList)
        if (camera)
            camera->SetCommandListener(nullptr, 0);
}

void ControlService::AddCamera(TrackCamera& camera)
{
    const CameraIndex index = arbitration.AddCamera({camera.GetAddress(), camera.GetPelcoNumber(),
                                                     std::chrono::seconds(camera.GetLockTimeSecs())});
    if (index >= cameraList.size()) {
        cameraList.resize(index + 1, nullptr);
        nvrCameraIds.resize(index + 1);
    }
    cameraList[index] = &camera;
    nvrCameraIds[index].reset();
    if (const auto id = removedNvrIds.find(camera.GetAddress()); id != removedNvrIds.end()) {
        nvrCameraIds[index] = id->second;
        removedNvrIds.erase(id);
    }
    camera.SetCommandListener(this, index);
}

void ControlService::RemoveCamera(const std::string& address)
{
    const CameraIndex camera = arbitration.CameraByAddress(address);
    if (camera == NoCamera)
        return;
    const std::uint32_t pelco = arbitration.PelcoNumber(camera);
    const TrackCamera::CommandCounts& counts = cameraList[camera]->GetCommandCounts();
    const RemovedCameraCommands commands{pelco, counts.written, arbitration.RefusedCommands(camera),
                                         counts.dropped, counts.failed};
    cameraList[camera]->SetCommandListener(nullptr, 0);
    cameraList[camera] = nullptr;
    if (nvrCameraIds[camera])
        removedNvrIds[address] = *nvrCameraIds[camera];
    nvrCameraIds[camera].reset();
    const Arbitration::Removal removal = arbitration.RemoveCamera(camera);
    if (removal.holder != 0)
        observer->HoldLapsed({camera, pelco, Facts(removal.holder, removal.priority), {}});
    observer->CameraRemoved(camera, commands);
    fanOut.clear();
    for (const ConnectionId connection : removal.told)
        fanOut.emplace_back(connections[connection].session.get(), removal.notice);
    auto sends = std::move(fanOut);
    for (const auto& [session, text] : sends)
        session->Send(*text);
    if (!sends.empty())
        observer->NoticesSent(sends.size());
    fanOut = std::move(sends);
}

void ControlService::SetLockTime(std::chrono::seconds lockTime)
{
    arbitration.SetLockTime(lockTime);
}

void ControlService::Revoke(ConnectionId connection)
{
    Lapsed(arbitration.Revoke(connection));
}

void ControlService::Handle(ConnectionId from, const OperatorMessage& message, const char* bytes,
                            std::size_t count)
{
    const OperatorConnection& sender = connections[from];
    switch (message.kind) {
    case OperatorMessage::Kind::Choose:
        arbitration.Choose(sender.Key());
        return;
    case OperatorMessage::Kind::Cancel:
        arbitration.Cancel(sender.Key());
        return;
    case OperatorMessage::Kind::CameraCommand:
        Steer(from, sender.priority, message.pelcoAddress, bytes, count);
        return;
    case OperatorMessage::Kind::Login:
        return; // the registry's
    }
}

// The hold is taken when the write completes (CommandWritten), not here: a
// command admitted now may still be dropped or fail, and one admitted later
// may complete first.
void ControlService::Steer(ConnectionId from, Priority priority, unsigned pelcoAddress,
                           const char* bytes, std::size_t count)
{
    const auto decision = arbitration.Command(from, priority, pelcoAddress);
    if (decision.selection)
        Deliver(*decision.selection);
    switch (decision.verdict) {
    case Verdict::Forward:
        cameraList[decision.camera]->SendCommand(decision.sender, priority, bytes, count);
        break;
    case Verdict::Refused:
        observer->CommandRefused({decision.camera, arbitration.PelcoNumber(decision.camera),
                                  Facts(decision.sender, priority),
                                  Facts(decision.holder, decision.holderPriority)});
        break;
    case Verdict::UnknownCamera: {
        observer->UnknownCamera();
        // Within the sender's address's share of such lines.
        const std::string& address = connections[from].clientAddress;
        const LineBudget::Verdict verdict = unknownCameraLines.Take(address, time.Now());
        if (verdict == LineBudget::Verdict::Skip) {
            observer->LineNotLogged(OperatorEvents::LineKind::UnknownCamera);
            break;
        }
        std::string line = "Unknown Pelco camera ID " + std::to_string(pelcoAddress);
        if (verdict == LineBudget::Verdict::LogWithNote)
            line = LineBudget::WithNote(line, address);
        LogFile.BeginLine() << line << std::endl;
        break;
    }
    case Verdict::NothingToSteer:
        break;
    }
}

void ControlService::SetNvrCameraName(const std::string& cameraAddress, const std::string& name)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != NoCamera)
        arbitration.SetNvrName(camera, name);
}

void ControlService::SetNvrCameraId(const std::string& cameraAddress, std::uint32_t id)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera != NoCamera)
        nvrCameraIds[camera] = id;
}

bool ControlService::SoftTriggerFired(const std::string& cameraAddress)
{
    const CameraIndex camera = arbitration.CameraByAddress(cameraAddress);
    if (camera == NoCamera)
        return false;
    const auto selection = arbitration.Select(camera, false);
    if (!selection)
        return false;
    Deliver(*selection);
    const OperatorConnection& chooser = connections[selection->to];
    observer->HandedOver({camera, arbitration.PelcoNumber(camera),
                          {chooser.number, UserOrNone(chooser.userName), chooser.priority},
                          {}});
    return true;
}

void ControlService::CommandWritten(std::size_t camera, CommandSender sessionId,
                                    std::int32_t priority)
{
    const Arbitration::Delivery delivery =
        arbitration.CommandDelivered(camera, sessionId, priority, time.Now());
    if (delivery.previousHolder != sessionId) {
        std::optional<SessionFacts> previous;
        if (delivery.previousHolder != 0)
            previous = Facts(delivery.previousHolder, delivery.previousPriority);
        observer->ControlTaken(
            {camera, arbitration.PelcoNumber(camera), Facts(sessionId, priority), previous});
    }
    Deliver(delivery.notices);
    FollowHoldDeadline(arbitration.HoldDeadline(camera));
}

SessionFacts ControlService::Facts(SessionKey session, Priority priority) const
{
    return {NumberOf(session), UserOrNone(connections.UserOf(session)), priority};
}

void ControlService::Lapsed(const std::vector<Arbitration::Release>& released)
{
    for (const auto& release : released) {
        const CameraIndex camera = release.notices.camera;
        observer->HoldLapsed({camera, arbitration.PelcoNumber(camera),
                              Facts(release.holder, release.priority), {}});
    }
    for (const auto& release : released)
        Deliver(release.notices);
}

void ControlService::Deliver(const Arbitration::Selection& selection)
{
    connections[selection.to].session->Send(selection.text);
    observer->NoticesSent(1);
}

// Over the watchers as they stand now: a session whose send fails ends only
// once the fan-out is over (see ClientSession), and a send never calls back
// into this service.
void ControlService::Deliver(const Arbitration::Announcement& announcement)
{
    auto sends = std::move(fanOut);
    sends.clear();
    for (const auto& [number, connection] : connections.Watchers(announcement.camera))
        sends.emplace_back(connections[connection].session.get(),
                           number == announcement.holder ? announcement.toHolder
                                                         : announcement.toOthers);
    for (const auto& [session, text] : sends)
        session->Send(*text);
    if (!sends.empty())
        observer->NoticesSent(sends.size());
    fanOut = std::move(sends);
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
    Lapsed(arbitration.HoldDeadlinePassed(time.Now()));
    if (const auto next = arbitration.NextHoldDeadline())
        FollowHoldDeadline(*next);
}

void ControlService::Close()
{
    ++holdWaitsStarted;
    holdWaitPending = false;
    holdTimer.Cancel();
}

void ControlService::Describe(StatusSnapshot& status, TimeSource::TimePoint now) const
{
    status.cameras.clear();
    for (CameraIndex camera = 0; camera < arbitration.CameraCount(); ++camera) {
        if (!arbitration.Present(camera))
            continue;
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
        entry.nvrCameraName = UserOrNone(arbitration.NvrName(camera));
        if (const SessionKey holder = arbitration.Holder(camera)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                arbitration.HoldDeadline(camera) - now);
            entry.holder = HolderStatus{NumberOf(holder), UserOrNone(connections.UserOf(holder)),
                                        arbitration.HolderPriority(camera),
                                        std::max<std::int64_t>(0, left.count())};
        }
        const TrackCamera::CommandCounts& commands = track.GetCommandCounts();
        entry.forwarded = commands.written;
        entry.refused = arbitration.RefusedCommands(camera);
        entry.dropped = commands.dropped;
        entry.failed = commands.failed;
        status.cameras.push_back(std::move(entry));
    }
    std::stable_sort(
        status.cameras.begin(), status.cameras.end(),
        [](const CameraStatus& a, const CameraStatus& b) { return a.pelco < b.pelco; });

    status.sessions.clear();
    for (const ConnectionId id : connections.Ids()) {
        const OperatorConnection& connection = connections[id];
        SessionStatus entry;
        entry.session = connection.number;
        entry.client = connection.clientAddress;
        entry.user = UserOrNone(connection.userName);
        entry.priority = connection.priority;
        if (connection.camera != NoCamera)
            entry.camera = arbitration.PelcoNumber(connection.camera);
        entry.choosing = arbitration.ChooserSlot() == connection.Key() &&
                         connections.Holding(connection.Key()) == id;
        status.sessions.push_back(std::move(entry));
    }
    std::stable_sort(
        status.sessions.begin(), status.sessions.end(),
        [](const SessionStatus& a, const SessionStatus& b) { return a.session < b.session; });
}

} // namespace korvel
