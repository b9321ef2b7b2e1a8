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
    : time(time), connections(table), arbitration(table, {}), holdWait(io, time),
      safetyWait(io, time)
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
    // Every camera is built with the site's lock time as it stands.
    siteLockTime = std::chrono::seconds(camera.GetLockTimeSecs());
    const CameraRules& rules = camera.GetRules();
    const CameraIndex index = arbitration.AddCamera(
        {camera.GetAddress(), camera.GetPelcoNumber(),
         std::chrono::seconds(rules.lockTimeSecs.value_or(camera.GetLockTimeSecs()))});
    if (index >= cameraList.size()) {
        cameraList.resize(index + 1, nullptr);
        nvrCameraIds.resize(index + 1);
        safety.resize(index + 1);
        rulesOf.resize(index + 1);
    }
    rulesOf[index] = rules;
    safety[index].reset();
    const auto carried = carriedOver.find(camera.GetAddress());
    if (carried != carriedOver.end()) {
        if (carried->second.reservation)
            arbitration.Restore(index, std::move(*carried->second.reservation));
        safety[index] = std::move(carried->second.safety);
        carriedOver.erase(carried);
    }
    SetRules(index, rules);
    cameraList[index] = &camera;
    nvrCameraIds[index].reset();
    if (const auto id = removedNvrIds.find(camera.GetAddress()); id != removedNvrIds.end()) {
        nvrCameraIds[index] = id->second;
        removedNvrIds.erase(id);
    }
    camera.SetCommandListener(this, index);
}

void ControlService::RemoveCamera(const std::string& address, bool rebuilt)
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
    Arbitration::Removal removal = arbitration.RemoveCamera(camera);
    if (removal.holder != 0)
        observer->HoldLapsed({camera, pelco, Facts(removal.holder, removal.priority), {}});
    std::unique_ptr<CameraSafety> rules = std::move(safety[camera]);
    if (rebuilt) {
        carriedOver[address] = {pelco, std::move(removal.reservation), std::move(rules)};
    } else if (removal.reservation) {
        OperatorEvents::SupervisorAction ended;
        ended.kind = OperatorEvents::SupervisorActionKind::ReservationLapsed;
        ended.supervisor = removal.reservation->by;
        ended.result = "removed";
        ended.pelco = pelco;
        ended.forUser = removal.reservation->forUser;
        observer->SupervisorActed(ended);
    }
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

void ControlService::EndCarriedOver()
{
    auto ended = std::move(carriedOver);
    carriedOver.clear();
    for (auto& [address, carried] : ended) {
        if (!carried.reservation)
            continue;
        OperatorEvents::SupervisorAction lapsed;
        lapsed.kind = OperatorEvents::SupervisorActionKind::ReservationLapsed;
        lapsed.supervisor = carried.reservation->by;
        lapsed.result = "removed";
        lapsed.pelco = carried.pelco;
        lapsed.forUser = carried.reservation->forUser;
        observer->SupervisorActed(lapsed);
    }
}

void ControlService::SetLockTime(std::chrono::seconds lockTime)
{
    siteLockTime = lockTime;
    for (CameraIndex camera = 0; camera < arbitration.CameraCount(); ++camera)
        if (arbitration.Present(camera) && !rulesOf[camera].lockTimeSecs)
            arbitration.SetLockTime(camera, lockTime);
}

void ControlService::SetCameraRules(const std::string& address, const CameraRules& rules)
{
    const CameraIndex camera = arbitration.CameraByAddress(address);
    if (camera != NoCamera)
        SetRules(camera, rules);
}

void ControlService::SetRules(CameraIndex camera, const CameraRules& rules)
{
    rulesOf[camera] = rules;
    arbitration.SetLockTime(camera, rules.lockTimeSecs ? std::chrono::seconds(*rules.lockTimeSecs)
                                                       : siteLockTime);
    if (!rules.Writes()) {
        safety[camera].reset();
        return;
    }
    if (safety[camera]) {
        safety[camera]->SetRules(rules);
    } else {
        safety[camera] =
            std::make_unique<CameraSafety>(arbitration.PelcoNumber(camera), rules, time.Now());
        if (!arbitration.Free(camera))
            safety[camera]->Occupied();
    }
    FollowSafety(camera);
}

void ControlService::ConnectionEnded(ConnectionId connection)
{
    const SessionKey key = connections[connection].Key();
    if (connections.Holding(key) != connection)
        return;
    for (CameraIndex camera = 0; camera < safety.size(); ++camera) {
        CameraSafety* rules = Safety(camera);
        if (rules && arbitration.Holder(camera) == key)
            if (const auto stop = rules->HolderLeft())
                WriteService(camera, *stop);
    }
}

namespace {

SupervisorActions::Result NotFound()
{
    return {SupervisorActions::Result::Kind::NotFound, {}};
}

} // namespace

SupervisorActions::Result ControlService::Release(std::uint32_t pelco,
                                                  const std::string& supervisor)
{
    OperatorEvents::SupervisorAction action;
    action.kind = OperatorEvents::SupervisorActionKind::Release;
    action.supervisor = supervisor;
    action.pelco = pelco;
    const CameraIndex camera = arbitration.CameraByPelco(pelco);
    if (camera == NoCamera) {
        action.result = "not-found";
        observer->SupervisorActed(action);
        return NotFound();
    }
    const Arbitration::Freed freed = arbitration.ReleaseCamera(camera);
    action.result = "ok";
    observer->SupervisorActed(action);
    if (freed.hold)
        observer->HoldLapsed({camera, pelco, Facts(freed.hold->holder, freed.hold->priority), {}});
    Deliver(freed.notices);
    if (freed.hold)
        HoldEnded(camera);
    MaybeFreed(camera);
    return {};
}

SupervisorActions::Result ControlService::Reserve(std::uint32_t pelco,
                                                  const std::optional<std::string>& forUser,
                                                  std::chrono::minutes minutes,
                                                  const std::string& supervisor)
{
    OperatorEvents::SupervisorAction action;
    action.kind = OperatorEvents::SupervisorActionKind::Reserve;
    action.supervisor = supervisor;
    action.pelco = pelco;
    action.forUser = forUser;
    action.minutes = static_cast<std::uint32_t>(minutes.count());
    const CameraIndex camera = arbitration.CameraByPelco(pelco);
    if (camera == NoCamera) {
        action.result = "not-found";
        observer->SupervisorActed(action);
        return NotFound();
    }
    const Arbitration::Reserved reserved =
        arbitration.Reserve(camera, {forUser, supervisor, time.Now() + minutes});
    if (reserved.conflict) {
        action.result = "conflict";
        observer->SupervisorActed(action);
        return {SupervisorActions::Result::Kind::Conflict, reserved.reason};
    }
    action.result = "ok";
    observer->SupervisorActed(action);
    if (reserved.ended)
        observer->HoldLapsed(
            {camera, pelco, Facts(reserved.ended->holder, reserved.ended->priority), {}});
    Deliver(reserved.notices);
    if (reserved.ended)
        HoldEnded(camera);
    if (CameraSafety* rules = Safety(camera))
        rules->Occupied();
    FollowDeadlines();
    return {};
}

SupervisorActions::Result ControlService::Unreserve(std::uint32_t pelco,
                                                    const std::string& supervisor)
{
    const CameraIndex camera = arbitration.CameraByPelco(pelco);
    if (camera == NoCamera) {
        OperatorEvents::SupervisorAction action;
        action.kind = OperatorEvents::SupervisorActionKind::Unreserve;
        action.supervisor = supervisor;
        action.pelco = pelco;
        action.result = "not-found";
        observer->SupervisorActed(action);
        return NotFound();
    }
    if (const auto unreserved = arbitration.Unreserve(camera))
        Unreserved(*unreserved, OperatorEvents::SupervisorActionKind::Unreserve, supervisor, "ok");
    else
        Unreserved({camera, {}, std::nullopt}, OperatorEvents::SupervisorActionKind::Unreserve,
                   supervisor, "ok");
    return {};
}

void ControlService::Unreserved(const Arbitration::Unreserved& unreserved,
                                OperatorEvents::SupervisorActionKind kind,
                                const std::string& supervisor, const std::string& result)
{
    const CameraIndex camera = unreserved.camera;
    OperatorEvents::SupervisorAction action;
    action.kind = kind;
    action.supervisor = supervisor;
    action.result = result;
    action.pelco = arbitration.PelcoNumber(camera);
    action.forUser = unreserved.reservation.forUser;
    observer->SupervisorActed(action);
    if (unreserved.notices)
        Deliver(*unreserved.notices);
    MaybeFreed(camera);
}

void ControlService::HoldEnded(CameraIndex camera)
{
    if (CameraSafety* rules = Safety(camera))
        if (const auto stop = rules->HoldEnded())
            WriteService(camera, *stop);
}

void ControlService::MaybeFreed(CameraIndex camera)
{
    CameraSafety* rules = Safety(camera);
    if (!rules || !arbitration.Free(camera))
        return;
    rules->Freed(time.Now());
    FollowSafety(camera);
}

void ControlService::WriteService(CameraIndex camera, const CameraSafety::Write& write)
{
    using Kind = OperatorEvents::ServiceWriteKind;
    const Kind kind = write.kind == CameraSafety::WriteKind::Stop   ? Kind::Stop
                      : write.kind == CameraSafety::WriteKind::Home ? Kind::Home
                                                                    : Kind::Patrol;
    const auto preset = kind == Kind::Stop ? std::uint8_t{0}
                                           : static_cast<std::uint8_t>(write.frame.bytes[5]);
    observer->ServiceWritten({camera, arbitration.PelcoNumber(camera), kind, preset});
    cameraList[camera]->SendCommand(ServiceWriteTag, 0, write.frame.bytes.data(),
                                    write.frame.length);
}

void ControlService::FollowSafety(CameraIndex camera)
{
    if (const CameraSafety* rules = Safety(camera))
        if (const auto wake = rules->WakeAt())
            Follow(safetyWait, *wake, &ControlService::OnSafetyTimer);
}

void ControlService::OnSafetyTimer()
{
    const auto now = time.Now();
    std::optional<Arbitration::Clock::time_point> next;
    for (CameraIndex camera = 0; camera < safety.size(); ++camera) {
        CameraSafety* rules = Safety(camera);
        if (!rules)
            continue;
        for (const CameraSafety::Write& write : rules->Due(now))
            WriteService(camera, write);
        if (const auto wake = rules->WakeAt(); wake && (!next || *wake < *next))
            next = wake;
    }
    if (next)
        Follow(safetyWait, *next, &ControlService::OnSafetyTimer);
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
        // Before it is written: a patrol's next preset must not follow it.
        if (CameraSafety* rules = Safety(decision.camera)) {
            rules->CommandAdmitted(time.Now());
            FollowSafety(decision.camera);
        }
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
    if (NumberOf(sessionId) == 0)
        return; // the service's own write: no hold, no notice
    if (CameraSafety* rules = Safety(camera))
        rules->Held();
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
    Follow(holdWait, arbitration.HoldDeadline(camera), &ControlService::OnHoldTimer);
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
    for (const auto& release : released) {
        HoldEnded(release.notices.camera);
        MaybeFreed(release.notices.camera);
    }
}

void ControlService::Deliver(const Arbitration::Selection& selection)
{
    OperatorSession& to = *connections[selection.to].session;
    to.Send(selection.text);
    if (selection.reservation)
        to.Send(selection.reservation);
    observer->NoticesSent(selection.reservation ? 2 : 1);
}

// Over the watchers as they stand now: a session whose send fails ends only
// once the fan-out is over (see ClientSession), and a send never calls back
// into this service.
void ControlService::Deliver(const Arbitration::Announcement& announcement)
{
    auto sends = std::move(fanOut);
    sends.clear();
    for (const auto& [number, connection] : connections.Watchers(announcement.camera)) {
        const bool own = announcement.ownUser
                             ? connections[connection].userName == *announcement.ownUser
                             : number == announcement.holder;
        sends.emplace_back(connections[connection].session.get(),
                           own ? announcement.toHolder : announcement.toOthers);
    }
    for (const auto& [session, text] : sends)
        session->Send(*text);
    if (!sends.empty())
        observer->NoticesSent(sends.size());
    fanOut = std::move(sends);
}

void ControlService::Follow(FollowedWait& wait, Arbitration::Clock::time_point deadline,
                            void (ControlService::*due)())
{
    if (wait.pending && wait.expiry <= deadline)
        return; // the wait under way ends first and then follows this deadline
    // Setting the expiry cancels a later wait still pending.
    wait.pending = true;
    wait.expiry = deadline;
    wait.timer.ExpiresAt(deadline);
    const std::uint64_t number = ++wait.started;
    wait.timer.AsyncWait(lifetime.Guard(
        [this, &wait, number, due](const boost::system::error_code& error) {
            if (number != wait.started)
                return; // a wait that an earlier deadline replaced
            wait.pending = false;
            if (!error)
                (this->*due)();
        }));
}

void ControlService::EndWait(FollowedWait& wait)
{
    ++wait.started;
    wait.pending = false;
    wait.timer.Cancel();
}

void ControlService::OnHoldTimer()
{
    const auto now = time.Now();
    Lapsed(arbitration.HoldDeadlinePassed(now));
    for (const Arbitration::Unreserved& unreserved : arbitration.ReservationDeadlinePassed(now))
        Unreserved(unreserved, OperatorEvents::SupervisorActionKind::ReservationLapsed,
                   unreserved.reservation.by, "ok");
    FollowDeadlines();
}

void ControlService::FollowDeadlines()
{
    auto next = arbitration.NextHoldDeadline();
    if (const auto reservation = arbitration.NextReservationDeadline();
        reservation && (!next || *reservation < *next))
        next = reservation;
    if (next)
        Follow(holdWait, *next, &ControlService::OnHoldTimer);
}

void ControlService::Close()
{
    EndWait(holdWait);
    EndWait(safetyWait);
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
        if (const auto& reservation = arbitration.ReservationOf(camera)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                reservation->until - now);
            entry.reservation = ReservationStatus{reservation->forUser, reservation->by,
                                                  std::max<std::int64_t>(0, left.count())};
        }
        if (const CameraSafety* rules = Safety(camera))
            switch (rules->Patrol()) {
            case CameraSafety::PatrolState::Off:
                break;
            case CameraSafety::PatrolState::Waiting:
                entry.patrol = "waiting";
                break;
            case CameraSafety::PatrolState::Patrolling:
                entry.patrol = "patrolling";
                break;
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
