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
      controlLapsed(Text(std::string(OperatorProtocol::ControlLapsed)))
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
                    &controlLapsed};
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
        chooser, Text(OperatorProtocol::CameraMessage(causedByCommand, selected.address,
                                                      selected.pelcoNumber, selected.nvrName))};
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
    } else if (!Admits(decision.camera, key, priority)) {
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

bool Arbitration::Admits(CameraIndex camera, SessionKey sender, Priority priority) const
{
    const CameraState& state = cameras[camera];
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
