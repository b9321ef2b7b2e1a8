#include "client/Arbitration.h"

#include "client/OperatorProtocol.h"

#include <utility>

namespace korvel {

namespace {

Notification Text(std::string text)
{
    return std::make_shared<const std::string>(std::move(text));
}

} // namespace

Arbitration::Arbitration(std::vector<Camera> configured)
    : cameraByPelco(256, NoCamera),
      youHaveControl(Text(std::string(OperatorProtocol::YouHaveControl))),
      controlLapsed(Text(std::string(OperatorProtocol::ControlLapsed)))
{
    cameras.reserve(configured.size());
    for (Camera& camera : configured)
        AddCamera(std::move(camera));
    anonymousHasControl = &HasControlText(std::string()); // a session that never logged in
}

Arbitration::CameraIndex Arbitration::AddCamera(Camera camera)
{
    const CameraIndex index = cameras.size();
    std::string nvrName;
    for (auto earlier = cameras.rbegin(); earlier != cameras.rend(); ++earlier) {
        if (earlier->address == camera.address) {
            nvrName = earlier->nvrName;
            break;
        }
    }
    cameras.emplace_back(std::move(camera));
    CameraState& added = cameras.back();
    added.nvrName = std::move(nvrName);
    cameraByAddress.try_emplace(added.address, index);
    FilePelcoAddress(added.pelcoNumber);
    return index;
}

Arbitration::Removal Arbitration::RemoveCamera(CameraIndex camera)
{
    CameraState& removed = cameras[camera];
    Removal removal{removed.holder, removed.holderPriority, {}, &controlLapsed};
    for (const auto& watcher : removed.watchers)
        removal.told.push_back(watcher.second);
    // Also the connections that lost their number to a later one and only
    // steer the camera they had.
    for (Connection& connection : connections) {
        if (connection.live && connection.camera == camera)
            connection.camera = NoCamera;
    }
    removed.watchers.clear();
    removed.holder = 0;
    removed.holderPriority = -1;
    removed.present = false;

    const auto byAddress = cameraByAddress.find(removed.address);
    if (byAddress != cameraByAddress.end() && byAddress->second == camera) {
        cameraByAddress.erase(byAddress);
        for (CameraIndex other = 0; other < cameras.size(); ++other) {
            if (cameras[other].present && cameras[other].address == removed.address) {
                cameraByAddress.emplace(removed.address, other);
                break;
            }
        }
    }
    if (CameraByPelco(removed.pelcoNumber) == camera) {
        cameraByPelco[removed.pelcoNumber] = NoCamera;
        FilePelcoAddress(removed.pelcoNumber);
    }
    return removal;
}

void Arbitration::FilePelcoAddress(unsigned pelcoAddress)
{
    if (pelcoAddress >= cameraByPelco.size() || cameraByPelco[pelcoAddress] != NoCamera)
        return;
    for (CameraIndex camera = 0; camera < cameras.size(); ++camera) {
        if (cameras[camera].present && cameras[camera].pelcoNumber == pelcoAddress) {
            cameraByPelco[pelcoAddress] = camera;
            return;
        }
    }
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

Arbitration::ConnectionId Arbitration::Connect(SessionNumber number)
{
    ConnectionId id;
    if (freeConnections.empty()) {
        id = connections.size();
        connections.emplace_back();
    } else {
        id = freeConnections.back();
        freeConnections.pop_back();
    }
    connections[id] = Connection{number, NoCamera, anonymousHasControl, true};

    // The connection that had the number hears no more notices; it keeps its
    // camera for its own commands.
    auto entry = registered.find(number);
    if (entry != registered.end()) {
        Unwatch(entry->second);
        entry->second = id;
    } else {
        registered.emplace(number, id);
    }
    return id;
}

void Arbitration::LogIn(ConnectionId connection, const std::string& userName)
{
    connections[connection].hasControl = &HasControlText(userName);
}

void Arbitration::Disconnect(ConnectionId connection)
{
    Connection& gone = connections[connection];
    if (!gone.live)
        return;
    const auto entry = registered.find(gone.number);
    if (entry != registered.end() && entry->second == connection)
        registered.erase(entry);
    Unwatch(connection);
    gone = Connection{};
    freeConnections.push_back(connection);
}

std::vector<Arbitration::Release> Arbitration::Revoke(ConnectionId connection)
{
    std::vector<Release> released;
    const SessionNumber number = connections[connection].number;
    if (!connections[connection].live || Registered(number) != connection)
        return released;
    for (CameraIndex camera = 0; camera < cameras.size(); ++camera) {
        CameraState& state = cameras[camera];
        if (state.holder != number)
            continue;
        released.push_back({state.holder, state.holderPriority, ReleaseAnnouncement(camera)});
        state.holder = 0;
        state.holderPriority = -1;
    }
    Cancel(number);
    return released;
}

Arbitration::ConnectionId Arbitration::Registered(SessionNumber number) const
{
    const auto entry = registered.find(number);
    return entry == registered.end() ? NoConnection : entry->second;
}

Arbitration::CameraIndex Arbitration::CurrentCamera(ConnectionId connection) const
{
    return connections[connection].camera;
}

void Arbitration::Choose(SessionNumber number)
{
    if (chooserSlot == 0)
        chooserSlot = number;
}

void Arbitration::Cancel(SessionNumber number)
{
    if (chooserSlot == number)
        chooserSlot = 0;
}

std::optional<Arbitration::Selection> Arbitration::Select(CameraIndex camera, bool causedByCommand)
{
    if (chooserSlot == 0)
        return std::nullopt;
    const ConnectionId chooser = Registered(chooserSlot);
    if (chooser == NoConnection)
        return std::nullopt;
    const CameraState& selected = cameras[camera];
    Selection selection{
        chooser, Text(OperatorProtocol::CameraMessage(causedByCommand, selected.address,
                                                      selected.pelcoNumber, selected.nvrName))};
    Watch(chooser, camera);
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
    const SessionNumber number = connections[from].number;
    if (addressed != connections[from].camera) {
        // Whoever was choosing, this session's command ends it.
        chooserSlot = number;
        decision.selection = Select(addressed, true);
    }
    // The addressed camera, unless the selection went to a later connection
    // with the same number.
    decision.camera = connections[from].camera;
    if (decision.camera == NoCamera)
        decision.verdict = CommandDecision::Verdict::NothingToSteer;
    else if (!Admits(decision.camera, number, priority))
        decision.verdict = CommandDecision::Verdict::Refused;
    else
        decision.verdict = CommandDecision::Verdict::Forward;
    return decision;
}

bool Arbitration::Admits(CameraIndex camera, SessionNumber sender, Priority priority) const
{
    const CameraState& state = cameras[camera];
    return state.holder == 0 || state.holder == sender || priority > state.holderPriority;
}

Arbitration::Announcement Arbitration::CommandDelivered(CameraIndex camera, SessionNumber sender,
                                                        Priority priority, Clock::time_point now)
{
    CameraState& state = cameras[camera];
    state.holder = sender;
    state.holderPriority = priority;
    state.deadline = now + state.lockTime;
    return ControlAnnouncement(camera, sender);
}

std::vector<Arbitration::Release> Arbitration::HoldDeadlinePassed(Clock::time_point now)
{
    std::vector<Release> released;
    for (CameraIndex camera = 0; camera < cameras.size(); ++camera) {
        CameraState& state = cameras[camera];
        if (state.holder == 0 || now < state.deadline)
            continue;
        released.push_back({state.holder, state.holderPriority, ReleaseAnnouncement(camera)});
        state.holder = 0;
        state.holderPriority = -1;
    }
    return released;
}

std::optional<Arbitration::Clock::time_point> Arbitration::NextHoldDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const CameraState& state : cameras)
        if (state.holder != 0 && (!next || state.deadline < *next))
            next = state.deadline;
    return next;
}

Arbitration::Announcement Arbitration::ControlAnnouncement(CameraIndex camera,
                                                           SessionNumber holder) const
{
    const ConnectionId holding = Registered(holder);
    return Announcement{camera, holder, &youHaveControl,
                        holding == NoConnection ? &anonymousHasControl->second
                                                : &connections[holding].hasControl->second};
}

Arbitration::Announcement Arbitration::ReleaseAnnouncement(CameraIndex camera) const
{
    return Announcement{camera, 0, &controlLapsed, &controlLapsed};
}

void Arbitration::Watch(ConnectionId connection, CameraIndex camera)
{
    Unwatch(connection);
    Connection& watcher = connections[connection];
    watcher.camera = camera;
    cameras[camera].watchers[watcher.number] = connection;
}

void Arbitration::Unwatch(ConnectionId connection)
{
    const Connection& watcher = connections[connection];
    if (watcher.camera == NoCamera)
        return;
    auto& watchers = cameras[watcher.camera].watchers;
    const auto entry = watchers.find(watcher.number);
    if (entry != watchers.end() && entry->second == connection)
        watchers.erase(entry);
}

const std::pair<const std::string, Notification>&
Arbitration::HasControlText(const std::string& userName)
{
    auto& entry = *hasControlTexts.try_emplace(userName).first;
    if (!entry.second)
        entry.second = Text(OperatorProtocol::OtherHasControl(userName));
    return entry;
}

} // namespace korvel
