#include "client/ConnectionTable.h"

#include "client/OperatorProtocol.h"

#include <utility>

namespace korvel {

ConnectionTable::ConnectionTable()
{
    anonymous = &HasControlText(std::string()); // a session that never logged in
}

ConnectionId ConnectionTable::Add(SessionNumber number, std::string clientAddress,
                                  bool loginRequired, std::shared_ptr<OperatorSession> session,
                                  TimeSource::TimePoint now)
{
    ConnectionId id;
    if (freeIds.empty()) {
        id = connections.size();
        connections.emplace_back();
    } else {
        id = freeIds.back();
        freeIds.pop_back();
    }
    OperatorConnection& added = connections[id];
    added = OperatorConnection{};
    added.number = number;
    added.serial = ++serials;
    added.clientAddress = std::move(clientAddress);
    added.loginRequired = loginRequired;
    added.hasControl = anonymous;
    added.session = std::move(session);
    added.idleSince = now;
    added.live = true;
    ++live;

    if (loginRequired) {
        bySerial.emplace(added.serial, id);
        return id;
    }
    // The connection that had the number hears no more notices; it keeps its
    // camera for its own commands.
    const auto entry = registered.find(number);
    if (entry != registered.end()) {
        Unwatch(entry->second);
        entry->second = id;
    } else {
        registered.emplace(number, id);
    }
    return id;
}

void ConnectionTable::Remove(ConnectionId id)
{
    OperatorConnection& gone = connections[id];
    if (!gone.live)
        return;
    Unwatch(id);
    if (gone.loginRequired) {
        bySerial.erase(gone.serial);
    } else if (const auto entry = registered.find(gone.number);
               entry != registered.end() && entry->second == id) {
        registered.erase(entry);
    }
    gone = OperatorConnection{};
    freeIds.push_back(id);
    --live;
}

std::vector<ConnectionId> ConnectionTable::Ids() const
{
    std::vector<ConnectionId> ids;
    ids.reserve(live);
    for (ConnectionId id = 0; id < connections.size(); ++id)
        if (connections[id].live)
            ids.push_back(id);
    return ids;
}

std::vector<ConnectionId> ConnectionTable::LoggedInAs(const std::string& userName) const
{
    std::vector<ConnectionId> ids;
    for (ConnectionId id = 0; id < connections.size(); ++id)
        if (connections[id].live && connections[id].userName == userName)
            ids.push_back(id);
    return ids;
}

ConnectionId ConnectionTable::Registered(SessionNumber number) const
{
    const auto entry = registered.find(number);
    return entry == registered.end() ? NoConnection : entry->second;
}

ConnectionId ConnectionTable::Holding(SessionKey key) const
{
    const std::uint64_t serial = key >> 16;
    if (serial == 0)
        return Registered(NumberOf(key));
    const auto entry = bySerial.find(serial);
    return entry == bySerial.end() ? NoConnection : entry->second;
}

const std::string& ConnectionTable::UserOf(SessionKey key) const
{
    static const std::string none;
    const ConnectionId id = Holding(key);
    return id == NoConnection ? none : connections[id].userName;
}

void ConnectionTable::LogIn(ConnectionId id, const std::string& userName, Priority priority)
{
    OperatorConnection& connection = connections[id];
    connection.userName = userName;
    connection.priority = priority;
    connection.hasControl = &HasControlText(userName);
}

void ConnectionTable::SetPriority(ConnectionId id, Priority priority)
{
    connections[id].priority = priority;
}

void ConnectionTable::NoteIgnoredCommandLogged(ConnectionId id)
{
    connections[id].ignoredCommandLogged = true;
}

void ConnectionTable::Watch(ConnectionId id, CameraIndex camera)
{
    Unwatch(id);
    OperatorConnection& watcher = connections[id];
    watcher.camera = camera;
    if (camera == NoCamera)
        return;
    if (camera >= watchers.size())
        watchers.resize(camera + 1);
    watchers[camera][watcher.Key()] = id;
}

void ConnectionTable::Unwatch(ConnectionId id)
{
    const OperatorConnection& watcher = connections[id];
    if (watcher.camera == NoCamera || watcher.camera >= watchers.size())
        return;
    auto& those = watchers[watcher.camera];
    const auto entry = those.find(watcher.Key());
    if (entry != those.end() && entry->second == id)
        those.erase(entry);
}

std::vector<ConnectionId> ConnectionTable::ForgetCamera(CameraIndex camera)
{
    std::vector<ConnectionId> told;
    if (camera < watchers.size()) {
        for (const auto& watcher : watchers[camera])
            told.push_back(watcher.second);
        watchers[camera].clear();
    }
    // Also the connections that lost their number to a later one and only
    // steer the camera they had.
    for (OperatorConnection& connection : connections)
        if (connection.live && connection.camera == camera)
            connection.camera = NoCamera;
    return told;
}

const std::map<SessionKey, ConnectionId>& ConnectionTable::Watchers(CameraIndex camera) const
{
    static const std::map<SessionKey, ConnectionId> none;
    return camera < watchers.size() ? watchers[camera] : none;
}

const Notification& ConnectionTable::HasControlText(const std::string& userName)
{
    auto& text = hasControlTexts[userName];
    if (!text)
        text = std::make_shared<const std::string>(OperatorProtocol::OtherHasControl(userName));
    return text;
}

} // namespace korvel
