#include "client/Arbitration.h"

#include "client/OperatorProtocol.h"

#include <algorithm>
#include <utility>

namespace korvel {

namespace {

Notification Text(std::string text)
{
    return std::make_shared<const std::string>(std::move(text));
}

} // namespace

Arbitration::Arbitration(ConnectionTable& table, std::vector<Camera> configured)
    : connections(table), cameraByPelco(256, NoCamera),
      youHaveControl(Text(std::string(OperatorProtocol::YouHaveControl))),
      controlLapsed(Text(std::string(OperatorProtocol::ControlLapsed))),
      reservedForYou(Text(std::string(OperatorProtocol::ReservedForYou))),
      outOfService(Text(std::string(OperatorProtocol::OutOfService)))
{
    cameras.reserve(configured.size());
    for (Camera& camera : configured)
        AddCamera(std::move(camera));
}

Arbitration::CameraIndex Arbitration::AddCamera(Camera camera)
{
    CameraIndex index;
    if (freeSlots.empty()) {
        index = cameras.size();
        cameras.emplace_back();
    } else {
        const auto first = std::min_element(freeSlots.begin(), freeSlots.end());
        index = *first;
        freeSlots.erase(first);
    }
    CameraState& added = cameras[index];
    added = CameraState(std::move(camera));
    added.present = true;
    added.added = ++camerasAdded;
    if (const auto name = removedNvrNames.find(added.address); name != removedNvrNames.end()) {
        added.nvrName = std::move(name->second);
        removedNvrNames.erase(name);
    }
    cameraByAddress.try_emplace(added.address, index);
    FilePelcoAddress(added.pelcoNumber);
    return index;
}

Arbitration::Removal Arbitration::RemoveCamera(CameraIndex camera)
{
    CameraState& removed = cameras[camera];
    Removal removal{removed.holder, removed.holderPriority, connections.ForgetCamera(camera),
                    &controlLapsed, removed.reservation};
    const std::string address = removed.address;
    const unsigned pelco = removed.pelcoNumber;
    if (!removed.nvrName.empty())
        removedNvrNames[address] = removed.nvrName;
    removed = CameraState();
    freeSlots.push_back(camera);

    const auto byAddress = cameraByAddress.find(address);
    if (byAddress != cameraByAddress.end() && byAddress->second == camera) {
        cameraByAddress.erase(byAddress);
        CameraIndex other = NoCamera;
        for (CameraIndex slot = 0; slot < cameras.size(); ++slot)
            if (cameras[slot].present && cameras[slot].address == address &&
                (other == NoCamera || cameras[slot].added < cameras[other].added))
                other = slot;
        if (other != NoCamera)
            cameraByAddress.emplace(address, other);
    }
    if (CameraByPelco(pelco) == camera) {
        cameraByPelco[pelco] = NoCamera;
        FilePelcoAddress(pelco);
    }
    return removal;
}

void Arbitration::FilePelcoAddress(unsigned pelcoAddress)
{
    if (pelcoAddress >= cameraByPelco.size() || cameraByPelco[pelcoAddress] != NoCamera)
        return;
    CameraIndex first = NoCamera;
    for (CameraIndex camera = 0; camera < cameras.size(); ++camera)
        if (cameras[camera].present && cameras[camera].pelcoNumber == pelcoAddress &&
            (first == NoCamera || cameras[camera].added < cameras[first].added))
            first = camera;
    cameraByPelco[pelcoAddress] = first;
}

Arbitration::Reserved Arbitration::Reserve(CameraIndex camera, Reservation reservation)
{
    CameraState& state = cameras[camera];
    Reserved reserved;
    if (state.reservation && state.reservation->by != reservation.by) {
        reserved.conflict = true;
        reserved.reason = "reserved by " + state.reservation->by;
        return reserved;
    }
    const bool holderKeeps = state.holder != 0 && reservation.forUser &&
                             connections.UserOf(state.holder) == *reservation.forUser;
    if (state.holder != 0 && !holderKeeps)
        reserved.ended = EndHold(camera);
    state.reservedForOthers = reservation.forUser
                                  ? Text(OperatorProtocol::ReservedFor(*reservation.forUser))
                                  : outOfService;
    state.reservation = std::move(reservation);
    reserved.notices = ReservationAnnouncement(camera);
    return reserved;
}

void Arbitration::Restore(CameraIndex camera, Reservation reservation)
{
    CameraState& state = cameras[camera];
    state.reservedForOthers = reservation.forUser
                                  ? Text(OperatorProtocol::ReservedFor(*reservation.forUser))
                                  : outOfService;
    state.reservation = std::move(reservation);
}

std::optional<Arbitration::Unreserved> Arbitration::Unreserve(CameraIndex camera)
{
    CameraState& state = cameras[camera];
    if (!state.reservation)
        return std::nullopt;
    Unreserved unreserved{camera, std::move(*state.reservation), std::nullopt};
    state.reservation.reset();
    state.reservedForOthers.reset();
    if (state.holder == 0)
        unreserved.notices = ReleaseAnnouncement(camera);
    return unreserved;
}

Arbitration::Freed Arbitration::ReleaseCamera(CameraIndex camera)
{
    CameraState& state = cameras[camera];
    Freed freed;
    if (state.holder != 0)
        freed.hold = EndHold(camera);
    if (state.reservation) {
        freed.reservation = std::move(state.reservation);
        state.reservation.reset();
        state.reservedForOthers.reset();
    }
    freed.notices = ReleaseAnnouncement(camera);
    return freed;
}

std::vector<Arbitration::Unreserved> Arbitration::ReservationDeadlinePassed(Clock::time_point now)
{
    std::vector<Unreserved> ended;
    for (CameraIndex camera = 0; camera < cameras.size(); ++camera) {
        const CameraState& state = cameras[camera];
        if (state.present && state.reservation && now >= state.reservation->until)
            ended.push_back(*Unreserve(camera));
    }
    return ended;
}

std::optional<Arbitration::Clock::time_point> Arbitration::NextReservationDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const CameraState& state : cameras)
        if (state.present && state.reservation && (!next || state.reservation->until < *next))
            next = state.reservation->until;
    return next;
}

Notification Arbitration::ReservationNotice(CameraIndex camera, const std::string& user) const
{
    const CameraState& state = cameras[camera];
    if (!state.reservation)
        return nullptr;
    if (state.reservation->forUser && !user.empty() && user == *state.reservation->forUser)
        return reservedForYou;
    return state.reservedForOthers;
}

Arbitration::Announcement Arbitration::ReservationAnnouncement(CameraIndex camera) const
{
    const CameraState& state = cameras[camera];
    Announcement notices{camera, 0, &reservedForYou, &state.reservedForOthers};
    if (state.reservation->forUser)
        notices.ownUser = &*state.reservation->forUser;
    return notices;
}

void Arbitration::SetLockTime(std::chrono::milliseconds lockTime)
{
    for (CameraState& camera : cameras)
        camera.lockTime = lockTime;
}

Arbitration::CameraIndex Arbitration::CameraByPelco(unsigned pelcoAddress) const
{
    return pelcoAddress < cameraByPelco.size() ? cameraByPelco[pelcoAddress] : NoCamera;
}

Arbitration::CameraIndex Arbitration::CameraByAddress(const std::string& address) const
{
    const auto found = cameraByAddress.find(address);
    return found == cameraByAddress.end() ? NoCamera : found->second;
}

void Arbitration::SetNvrName(CameraIndex camera, const std::string& name)
{
    cameras[camera].nvrName = name;
}

Arbitration::Release Arbitration::EndHold(CameraIndex camera)
{
    CameraState& state = cameras[camera];
    const Release release{state.holder, state.holderPriority, ReleaseAnnouncement(camera)};
    state.holder = 0;
    state.holderPriority = -1;
    return release;
}

std::vector<Arbitration::Release> Arbitration::Revoke(ConnectionId connection)
{
    std::vector<Release> released;
    const OperatorConnection& revoked = connections[connection];
    const SessionKey key = revoked.Key();
    if (!revoked.live || connections.Holding(key) != connection)
        return released;
    for (CameraIndex camera = 0; camera < cameras.size(); ++camera)
        if (cameras[camera].present && cameras[camera].holder == key)
            released.push_back(EndHold(camera));
    Cancel(key);
    return released;
}

void Arbitration::Choose(SessionKey key)
{
    if (chooserSlot == 0)
        chooserSlot = key;
}

void Arbitration::Cancel(SessionKey key)
{
    if (chooserSlot == key)
        chooserSlot = 0;
}

std::optional<Arbitration::Selection> Arbitration::Select(CameraIndex camera, bool causedByCommand)
{
    if (chooserSlot == 0)
        return std::nullopt;
    const ConnectionId chooser = connections.Holding(chooserSlot);
    if (chooser == NoConnection)
        return std::nullopt;
    const CameraState& selected = cameras[camera];
    Selection selection{
        chooser,
        Text(OperatorProtocol::CameraMessage(causedByCommand, selected.address,
                                             selected.pelcoNumber, selected.nvrName)),
        ReservationNotice(camera, connections[chooser].userName)};
    connections.Watch(chooser, camera);
    chooserSlot = 0;
    return selection;
}

Arbitration::CommandDecision Arbitration::Command(ConnectionId from, Priority priority,
                                                  unsigned pelcoAddress)
{
    CommandDecision decision;
    const CameraIndex addressed = CameraByPelco(pelcoAddress);
    if (addressed == NoCamera)
        return decision;
    const SessionKey key = connections[from].Key();
    decision.sender = key;
    if (addressed != connections[from].camera) {
        // Whoever was choosing, this session's command ends it.
        chooserSlot = key;
        decision.selection = Select(addressed, true);
    }
    // The addressed camera, unless the selection went to a later connection
    // with the same number.
    decision.camera = connections[from].camera;
    if (decision.camera == NoCamera) {
        decision.verdict = CommandDecision::Verdict::NothingToSteer;
    } else if (!Admits(decision.camera, key, priority, connections[from].userName)) {
        CameraState& refusing = cameras[decision.camera];
        ++refusing.refused;
        decision.verdict = CommandDecision::Verdict::Refused;
        decision.holder = refusing.holder;
        decision.holderPriority = refusing.holderPriority;
    } else {
        decision.verdict = CommandDecision::Verdict::Forward;
    }
    return decision;
}

bool Arbitration::Admits(CameraIndex camera, SessionKey sender, Priority priority,
                         const std::string& user) const
{
    const CameraState& state = cameras[camera];
    if (state.reservation &&
        (!state.reservation->forUser || user.empty() || user != *state.reservation->forUser))
        return false;
    return state.holder == 0 || state.holder == sender || priority > state.holderPriority;
}

Arbitration::Delivery Arbitration::CommandDelivered(CameraIndex camera, SessionKey sender,
                                                    Priority priority, Clock::time_point now)
{
    CameraState& state = cameras[camera];
    Delivery delivery;
    delivery.previousHolder = state.holder;
    delivery.previousPriority = state.holderPriority;
    state.holder = sender;
    state.holderPriority = priority;
    state.deadline = now + state.lockTime;
    delivery.notices = ControlAnnouncement(camera, sender);
    return delivery;
}

std::vector<Arbitration::Release> Arbitration::HoldDeadlinePassed(Clock::time_point now)
{
    std::vector<Release> released;
    for (CameraIndex camera = 0; camera < cameras.size(); ++camera) {
        const CameraState& state = cameras[camera];
        if (state.present && state.holder != 0 && now >= state.deadline)
            released.push_back(EndHold(camera));
    }
    return released;
}

std::optional<Arbitration::Clock::time_point> Arbitration::NextHoldDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const CameraState& state : cameras)
        if (state.present && state.holder != 0 && (!next || state.deadline < *next))
            next = state.deadline;
    return next;
}

Arbitration::Announcement Arbitration::ControlAnnouncement(CameraIndex camera,
                                                           SessionKey holder) const
{
    const ConnectionId holding = connections.Holding(holder);
    return Announcement{camera, holder, &youHaveControl,
                        holding == NoConnection ? &connections.AnonymousHasControl()
                                                : connections[holding].hasControl};
}

Arbitration::Announcement Arbitration::ReleaseAnnouncement(CameraIndex camera) const
{
    return Announcement{camera, 0, &controlLapsed, &controlLapsed};
}

} // namespace korvel
