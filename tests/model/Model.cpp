#include "model/Model.h"

#include <algorithm>

namespace korvel::model {

namespace {

constexpr int Written = 0;
constexpr int Failed = 1;
constexpr int Aborted = 2;

const char* LinkName(int link)
{
    static const char* const names[] = {"no socket", "connecting", "connected", "waiting",
                                        "no transport", "stopped", "open", "port closed"};
    return names[link];
}

const std::string Refused = "Connection refused";

} // namespace

Model::Model(const World& world)
    : world(world), lockTimeMs(world.lockTimeMs), retryIntervalSecs(world.retryIntervalSecs),
      requireLogin(world.requireLogin)
{
    for (const UserSpec& user : Users)
        users[user.name] = User{true, user.priority};
    for (int slot = 0; slot < CameraSlots; ++slot)
        if (CameraAtStart[slot])
            AddCamera(slot);
    Drain();
}

// Sessions.

void Model::Connect(int numberChoice, int addressChoice)
{
    Connection added;
    added.client = static_cast<int>(connections.size());
    added.number = SessionNumberOf(numberChoice);
    added.address = ClientAddressOf(addressChoice);
    added.loginRequired = requireLogin;
    added.serial = ++serials;
    added.live = true;
    if (freeIds.empty()) {
        added.id = idOwner.size();
        idOwner.push_back(added.client);
    } else {
        added.id = freeIds.back();
        freeIds.pop_back();
        idOwner[added.id] = added.client;
    }
    if (added.loginRequired) {
        added.loginDeadline = now + world.loginTimeoutMs;
        added.loginArmed = ++armed;
    }
    else
        registered[added.number] = added.client;
    connections.push_back(added);
    clientNumbers.push_back(added.number);
    views.emplace_back();
    Reply(connections.back(), "SESSION " + std::to_string(added.number));
}

Model::Connection* Model::Client(int choice)
{
    const int count = static_cast<int>(connections.size());
    if (count == 0)
        return nullptr;
    Connection& chosen = connections[count - 1 - choice % std::min(count, ClientsInReach)];
    return chosen.ended || chosen.hungUp ? nullptr : &chosen;
}

Model::Connection* Model::Holding(Key key)
{
    if (key >> 16 == 0) {
        const auto found = registered.find(static_cast<std::uint16_t>(key));
        return found == registered.end() ? nullptr : &connections[found->second];
    }
    const std::uint64_t serial = key >> 16;
    for (Connection& connection : connections)
        if (connection.live && connection.loginRequired && connection.serial == serial)
            return &connection;
    return nullptr;
}

std::vector<Model::Connection*> Model::Watchers(int camera)
{
    std::vector<Connection*> watchers;
    for (Connection& connection : connections)
        if (connection.live && connection.camera == camera &&
            Holding(connection.KeyOf()) == &connection)
            watchers.push_back(&connection);
    return watchers;
}

void Model::Notice(Connection& to, const std::string& text)
{
    if (to.ended || to.noticesOff)
        return;
    if (to.breakNext) {
        // This write fails; the session drops every notice from now on.
        to.breakNext = false;
        to.noticesOff = true;
        views[to.client].lines.push_back("Error sending data to client at " + to.address +
                                         ": Broken pipe");
        return;
    }
    if (!to.hungUp)
        views[to.client].received.push_back(text);
}

void Model::Reply(Connection& to, const std::string& text)
{
    if (!to.ended && !to.hungUp)
        views[to.client].received.push_back(text);
}

void Model::Receive(Connection& from, const Message& message)
{
    if (from.failureDue)
        from.waiting.push_back(message);
    else
        Handle(from, message);
}

void Model::Handle(Connection& from, const Message& message)
{
    if (message.kind == EventKind::Login) {
        Login(from, message.name, message.right);
        return;
    }
    if (from.loginRequired && from.user.empty())
        return; // ignored until it logs in
    const Key key = from.KeyOf();
    switch (message.kind) {
    case EventKind::Choose:
        if (chooser == 0)
            chooser = key;
        break;
    case EventKind::Cancel:
        if (chooser == key)
            chooser = 0;
        break;
    default:
        Steer(from, message.pelco, message.serial);
        break;
    }
}

// The first few failures of a count within a minute are answered at once;
// after them each FAILURE waits a delay after the one before, doubling
// from a second up to half a minute. A minute without a failure, or a
// LOGIN that passes as the user, starts the count afresh.
std::optional<Model::Ms> Model::LoginFailed(const std::string& address, const std::string& user)
{
    constexpr Ms Window = 60000;
    auto& count = failedLogins[{address, user}];
    if (now - count.lastReply >= Window)
        count = FailedLogins{};
    if (count.delay == 0) {
        while (!count.recent.empty() && count.recent.front() <= now - Window)
            count.recent.pop_front();
        if (count.recent.size() < 5) {
            count.recent.push_back(now);
            count.lastReply = now;
            return std::nullopt;
        }
        count.delay = 1000;
        count.recent.clear();
    }
    const Ms due = std::max(now, count.lastReply) + count.delay;
    count.delay = std::min<Ms>(count.delay * 2, 30000);
    count.lastReply = due;
    return due;
}

void Model::Login(Connection& from, int nameChoice, bool right)
{
    const std::string name = LoginName(nameChoice);
    const auto user = users.find(name);
    const bool known = user != users.end() && user->second.present;
    const bool passes = known && (right || LoginPassword(nameChoice, true).empty());
    if (!passes) {
        if (world.throttleLogins) {
            if (const auto due = LoginFailed(from.address, known ? name : std::string())) {
                from.failureDue = due;
                from.failureArmed = ++armed;
                return;
            }
        }
        Reply(from, "FAILURE");
        return;
    }
    if (world.throttleLogins)
        failedLogins.erase({from.address, name});
    from.user = name;
    from.priority = user->second.priority;
    from.loginDeadline.reset();
    Reply(from, "OK");
}

// One turn of the session's reading after a held-back FAILURE has gone:
// the next message that waited is handled, and the turn after it comes
// from the loop, after what that message set going; a workstation that
// closed its end is noticed once nothing of it waits any more.
void Model::ReceiveTurn(int client)
{
    Connection& connection = connections[client];
    if (connection.ended)
        return;
    if (connection.failureDue) {
        if (connection.hungUp && connection.waiting.empty())
            Close(connection);
        return;
    }
    if (!connection.waiting.empty()) {
        const Message next = connection.waiting.front();
        connection.waiting.pop_front();
        Handle(connection, next);
        Post(-1, [this, client] { ReceiveTurn(client); });
        return;
    }
    if (connection.hungUp)
        Close(connection);
}

// The session ends now; the table hears of it on a later turn.
void Model::Close(Connection& connection)
{
    EndSession(connection);
    Post(-1, [this, client = connection.client] { Remove(connections[client]); });
}

void Model::Lost(const Connection& connection)
{
    views[connection.client].lines.push_back("Lost session with KorvelControl user " +
                                             connection.user + " at " + connection.address);
}

void Model::EndSession(Connection& connection)
{
    connection.ended = true;
    views[connection.client].closedByService = true;
}

void Model::Remove(Connection& connection)
{
    if (!connection.live)
        return;
    connection.live = false;
    connection.loginDeadline.reset();
    freeIds.push_back(connection.id);
    if (!connection.loginRequired) {
        const auto found = registered.find(connection.number);
        if (found != registered.end() && found->second == connection.client)
            registered.erase(found);
    }
}

// Control.

int Model::CameraByPelco(unsigned pelco) const
{
    int first = -1;
    for (int slot = 0; slot < CameraSlots; ++slot)
        if (cameras[slot].present && CameraPelco[slot] == pelco &&
            (first < 0 || cameras[slot].added < cameras[first].added))
            first = slot;
    return first;
}

std::string Model::CameraText(bool byCommand, int slot) const
{
    std::string text = std::string(1, byCommand ? '1' : '0') + "CAMERA\t" + CameraAddress(slot) +
                       '\t' + std::to_string(CameraPelco[slot]);
    if (const auto name = nvrNames.find(slot); name != nvrNames.end())
        text += '\t' + name->second;
    return text;
}

void Model::Select(int camera, bool byCommand)
{
    if (chooser == 0)
        return;
    Connection* to = Holding(chooser);
    if (!to)
        return;
    Notice(*to, CameraText(byCommand, camera));
    to->camera = camera;
    chooser = 0;
}

// Two frames in one receive are one command, addressed by the first.
void Model::Steer(Connection& from, unsigned pelco, std::uint32_t serial)
{
    const int addressed = CameraByPelco(pelco);
    if (addressed < 0)
        return; // "Unknown Pelco camera ID"
    const Key key = from.KeyOf();
    if (addressed != from.camera) {
        chooser = key;
        Select(addressed, true);
    }
    const int camera = from.camera;
    if (camera < 0)
        return;
    const Camera& target = cameras[camera];
    if (target.holder != 0 && target.holder != key && from.priority <= target.holderPriority)
        return; // refused by the priority test
    SendCommand(camera, Command{key, from.priority, serial});
}

void Model::Delivered(int camera, const Command& command)
{
    Camera& held = cameras[camera];
    held.holder = command.sender;
    held.holderPriority = command.priority;
    held.deadline = now + lockTimeMs;
    FollowHold(held.deadline);
    const Connection* holding = Holding(command.sender);
    const std::string others =
        "#F00000 " + (holding ? holding->user : std::string()) + " has control";
    for (Connection* watcher : Watchers(camera))
        Notice(*watcher, watcher->KeyOf() == command.sender ? "#0000F0 You have control" : others);
}

void Model::Lapse(int camera)
{
    cameras[camera].holder = 0;
    cameras[camera].holderPriority = -1;
    for (Connection* watcher : Watchers(camera))
        Notice(*watcher, "#0000F0 ");
}

// The cameras.

void Model::AddCamera(int slot)
{
    Camera& camera = cameras[slot];
    const int instance = camera.instance + 1;
    camera = Camera();
    camera.instance = instance;
    camera.present = true;
    camera.added = ++camerasAdded;
    if (slot == SerialSlot) {
        camera.link = devicePresent ? Link::Open : Link::WithoutTransport;
        return;
    }
    camera.lookups = 1; // the link starts with a lookup
    camera.lines.push_back("Connecting to track camera at " + CameraAddress(slot) + ":1000");
}

void Model::RemoveCamera(int slot)
{
    Camera& camera = cameras[slot];
    // Stopped first: its sockets close and nothing more comes of them.
    camera.link = Link::Stopped;
    std::vector<Connection*> told = Watchers(slot);
    for (Connection& connection : connections)
        if (connection.live && connection.camera == slot)
            connection.camera = -1;
    for (Connection* watcher : told)
        Notice(*watcher, "#0000F0 ");
    const int instance = camera.instance;
    camera = Camera();
    camera.instance = instance;
}

void Model::Post(int camera, std::function<void()> work)
{
    if (camera < 0) {
        loop.push_back(std::move(work));
        return;
    }
    loop.push_back([this, camera, instance = cameras[camera].instance, work = std::move(work)] {
        if (cameras[camera].present && cameras[camera].instance == instance &&
            cameras[camera].link != Link::Stopped)
            work();
    });
}

void Model::Drain()
{
    while (!loop.empty()) {
        auto work = std::move(loop.front());
        loop.pop_front();
        work();
    }
}

std::uint64_t Model::Transport(const Camera& camera) const
{
    switch (camera.link) {
    case Link::Connecting:
    case Link::Connected:
    case Link::Waiting:
        break;
    case Link::Open:
    case Link::PortClosed:
        return 1; // the port, for the whole run
    default:
        return 0;
    }
    if (camera.current == 0 || camera.sockets.at(camera.current).state == SocketState::Closed)
        return 0;
    return camera.current;
}

void Model::FollowTransport(Camera& camera)
{
    const std::uint64_t transport = Transport(camera);
    if (transport != camera.pathTransport) {
        camera.queue.clear(); // never written to another socket
        camera.pathTransport = transport;
    }
}

void Model::SendCommand(int slot, const Command& command)
{
    Camera& camera = cameras[slot];
    FollowTransport(camera);
    if (camera.pathTransport == 0)
        return; // no socket: dropped
    if (camera.sockets[camera.pathTransport].inFlight) {
        camera.queue.push_back(command);
        return;
    }
    Write(slot, command);
}

void Model::Carry(int slot, std::uint64_t socket, const Command& command)
{
    cameras[slot].carried[socket].push_back(command.serial);
}

void Model::ReopenPort(int slot)
{
    Camera& camera = cameras[slot];
    camera.link = devicePresent ? Link::Open : Link::PortClosed;
    if (!devicePresent)
        camera.lines.push_back(std::string("Error opening serial port ") + SerialDevice +
                               ": No such file or directory");
}

void Model::WriteSerial(int slot, const Command& command)
{
    Camera& camera = cameras[slot];
    if (camera.link == Link::PortClosed)
        ReopenPort(slot);
    if (camera.link != Link::Open)
        return; // this command only is lost
    Socket& port = camera.sockets[1];
    port.inFlight = command;
    if (devicePresent)
        port.writePending = true;
    else
        Post(slot, [this, slot] { InFlightEnded(slot, 1, Failed, "Input/output error"); });
}

void Model::Write(int slot, const Command& command)
{
    if (slot == SerialSlot) {
        WriteSerial(slot, command);
        return;
    }
    Camera& camera = cameras[slot];
    const std::uint64_t id = camera.pathTransport;
    Socket& socket = camera.sockets[id];
    switch (socket.state) {
    case SocketState::Connected:
        if (!socket.stalled) {
            Carry(slot, id, command);
            Post(slot, [this, slot, command] { Delivered(slot, command); });
            return;
        }
        [[fallthrough]];
    case SocketState::Connecting:
        socket.inFlight = command;
        socket.writePending = true;
        return;
    case SocketState::Refused:
    case SocketState::Broken:
    case SocketState::Closed:
        Post(slot, [this, slot, reason = socket.state == SocketState::Refused ? Refused
                                                                               : "Broken pipe"] {
            WriteFailed(slot, reason);
        });
        return;
    }
}

void Model::WriteWaiting(int slot)
{
    Camera& camera = cameras[slot];
    FollowTransport(camera);
    while (camera.pathTransport != 0 && !camera.sockets[camera.pathTransport].inFlight &&
           !camera.queue.empty()) {
        const Command next = camera.queue.front();
        camera.queue.pop_front();
        Write(slot, next);
    }
}

void Model::Trouble(int slot, const std::string& line)
{
    Camera& camera = cameras[slot];
    if (!camera.troubleLogged)
        camera.lines.push_back(line);
    camera.troubleLogged = true;
}

void Model::WriteFailed(int slot, const std::string& reason)
{
    Camera& camera = cameras[slot];
    if (slot == SerialSlot) {
        Trouble(slot, std::string("Error sending command to serial port ") + SerialDevice + ": " +
                          reason);
        ReopenPort(slot);
        return;
    }
    if (camera.link == Link::Connected)
        camera.link = Link::Waiting;
    Trouble(slot, "Error sending command to " + CameraAddress(slot) + ": " + reason);
    ++camera.lookups; // one lookup for each failure
}

// A retry wait still under way ends as aborted when it is cancelled or
// replaced, and says so.
void Model::RetryWaitEnds(int slot)
{
    Camera& camera = cameras[slot];
    if (!camera.retryPending)
        return;
    camera.retryPending = false;
    Post(slot, [this, slot] {
        cameras[slot].lines.push_back("Camera connection retry timer aborted");
    });
}

void Model::InFlightEnded(int slot, std::uint64_t id, int outcome, const std::string& reason)
{
    Camera& camera = cameras[slot];
    const Command command = *camera.sockets[id].inFlight;
    camera.sockets[id].inFlight.reset();
    if (outcome == Written)
        Delivered(slot, command);
    else if (outcome == Failed)
        WriteFailed(slot, reason);
    WriteWaiting(slot);
}

// The socket's write in flight ends: its bytes reach the camera if written.
void Model::EndPendingWrite(int slot, std::uint64_t id, bool written, const std::string& reason)
{
    Socket& socket = cameras[slot].sockets[id];
    socket.writePending = false;
    if (written)
        Carry(slot, id, *socket.inFlight);
    Post(slot, [this, slot, id, written, reason] {
        InFlightEnded(slot, id, written ? Written : Failed, reason);
    });
}

void Model::CloseSocket(int slot, std::uint64_t id)
{
    Socket& socket = cameras[slot].sockets[id];
    if (socket.state == SocketState::Closed)
        return;
    socket.state = SocketState::Closed;
    if (socket.connectPending) {
        socket.connectPending = false;
        Post(slot, [this, slot, generation = socket.generation, endpoint = socket.endpoint,
                    endpoints = socket.endpoints] {
            ConnectEnded(slot, generation, endpoint, endpoints, Aborted);
        });
    }
    if (socket.writePending) {
        socket.writePending = false;
        Post(slot, [this, slot, id] { InFlightEnded(slot, id, Aborted, ""); });
    }
}

void Model::OpenSocket(int slot, int endpoint, int endpoints)
{
    Camera& camera = cameras[slot];
    const std::uint64_t id = ++camera.opened;
    Socket socket;
    socket.generation = camera.generation;
    socket.endpoint = endpoint;
    socket.endpoints = endpoints;
    camera.sockets[id] = socket;
    camera.current = id;
}

void Model::LookupEnded(int slot, int endpoints)
{
    Camera& camera = cameras[slot];
    if (endpoints == 0) {
        // Not retried; a camera that never had a socket gets none.
        if (camera.link == Link::NoSocket)
            camera.link = Link::WithoutTransport;
        camera.lines.push_back("*** Unable to resolve path to camera at " + CameraAddress(slot) +
                               ":1000: Host not found");
        return;
    }
    ++camera.generation;
    camera.link = Link::Connecting;
    if (camera.current != 0)
        CloseSocket(slot, camera.current);
    OpenSocket(slot, 0, endpoints);
}

void Model::ConnectEnded(int slot, std::uint64_t generation, int endpoint, int endpoints,
                         int outcome)
{
    Camera& camera = cameras[slot];
    const bool current = generation == camera.generation;
    if (outcome == Written) {
        if (current)
            camera.link = Link::Connected;
        camera.retryWait = 0;
        camera.retryDue.reset();
        RetryWaitEnds(slot);
        return;
    }
    if (endpoint + 1 < endpoints) {
        if (current) {
            CloseSocket(slot, camera.current);
            OpenSocket(slot, endpoint + 1, endpoints);
        }
        return;
    }
    if (current)
        camera.link = Link::Waiting;
    if (outcome == Failed)
        Trouble(slot, "*** Connection error for track camera at " + CameraAddress(slot) +
                          " on port 1000: " + Refused);
    // Also the attempt of a replaced socket sets the retry wait.
    RetryWaitEnds(slot);
    camera.retryWait = ++camera.retryWaitsStarted;
    camera.retryDue = now + 1000 * std::max(retryIntervalSecs, 1);
    camera.retryPending = true;
    camera.retryArmed = ++armed;
}

// Time.

// The one timer of the holds: its wait runs until the earliest deadline
// known when it began; a later deadline waits for it to end.
void Model::FollowHold(Ms deadline)
{
    if (holdWait && holdWait->first <= deadline)
        return;
    holdWait = {deadline, ++armed};
}

void Model::HoldTimerEnded()
{
    holdWait.reset();
    std::optional<Ms> next;
    for (int slot = 0; slot < CameraSlots; ++slot) {
        Camera& camera = cameras[slot];
        if (!camera.present || camera.holder == 0)
            continue;
        if (camera.deadline <= now)
            Lapse(slot);
        else if (!next || camera.deadline < *next)
            next = camera.deadline;
    }
    if (next)
        FollowHold(*next);
}

// Each wait that falls due goes to the loop in the order the waits were
// set, as timers that fall due together do.
void Model::AdvanceTo(Ms until)
{
    for (;;) {
        struct Due
        {
            Ms when;
            std::uint64_t armed;
            std::function<void()> work;
        };
        std::vector<Due> due;
        if (holdWait && holdWait->first <= until)
            due.push_back({holdWait->first, holdWait->second, [this] { HoldTimerEnded(); }});
        for (int slot = 0; slot < CameraSlots; ++slot) {
            Camera& camera = cameras[slot];
            if (!camera.present || !camera.retryDue || *camera.retryDue > until)
                continue;
            due.push_back({*camera.retryDue, camera.retryArmed, [this, slot] {
                               Camera& waiting = cameras[slot];
                               if (!waiting.present || !waiting.retryDue)
                                   return; // cancelled meanwhile
                               waiting.retryDue.reset();
                               waiting.retryWait = 0;
                               waiting.retryPending = false;
                               ++waiting.lookups;
                           }});
        }
        for (Connection& connection : connections) {
            if (!connection.live || connection.ended)
                continue;
            const int client = connection.client;
            if (connection.loginDeadline && *connection.loginDeadline <= until)
                due.push_back({*connection.loginDeadline, connection.loginArmed, [this, client] {
                                   Connection& late = connections[client];
                                   if (late.ended || !late.loginDeadline)
                                       return; // logged in meanwhile
                                   late.loginDeadline.reset();
                                   Lost(late);
                                   Close(late);
                               }});
            if (connection.failureDue && *connection.failureDue <= until)
                due.push_back({*connection.failureDue, connection.failureArmed, [this, client] {
                                   Connection& refused = connections[client];
                                   if (refused.ended || !refused.failureDue)
                                       return;
                                   refused.failureDue.reset();
                                   Reply(refused, "FAILURE");
                                   // Once written, what was read meanwhile
                                   // goes, a turn at a time.
                                   Post(-1, [this, client] { ReceiveTurn(client); });
                               }});
        }
        if (due.empty())
            break;
        const Ms next = std::min_element(due.begin(), due.end(), [](const Due& a, const Due& b) {
                            return a.when < b.when;
                        })->when;
        now = std::max(now, next);
        stops.push_back(now);
        std::erase_if(due, [&](const Due& entry) { return entry.when != next; });
        std::sort(due.begin(), due.end(),
                  [](const Due& a, const Due& b) { return a.armed < b.armed; });
        for (Due& entry : due)
            loop.push_back(std::move(entry.work));
        Drain();
    }
    now = until;
    stops.push_back(now);
}

void Model::Apply(const Event& e)
{
    stops.clear();
    switch (e.kind) {
    case EventKind::Connect:
        Connect(e.a, e.b);
        break;
    case EventKind::Login:
        if (Connection* from = Client(e.a))
            Receive(*from, Message{EventKind::Login, e.b, e.c != 0, 0, 0});
        break;
    case EventKind::Choose:
    case EventKind::Cancel:
        if (Connection* from = Client(e.a))
            Receive(*from, Message{e.kind, 0, false, 0, 0});
        break;
    case EventKind::Command: {
        const std::uint32_t serial = ++commandSerials;
        const int choice = e.b % (CameraSlots + 1);
        if (Connection* from = Client(e.a))
            Receive(*from, Message{EventKind::Command, 0, false,
                                   choice == CameraSlots ? UnknownPelco : CameraPelco[choice],
                                   serial});
        break;
    }
    case EventKind::Hangup:
        if (Connection* from = Client(e.a)) {
            from->hungUp = true;
            // Its receive under way ends the session now, unless a message
            // it sent still waits for a held-back FAILURE.
            if (!from->failureDue || from->waiting.empty()) {
                EndSession(*from);
                Remove(*from);
            }
        }
        break;
    case EventKind::BreakNotices:
        if (Connection* to = Client(e.a))
            to->breakNext = true;
        break;
    case EventKind::Resolve: {
        const int slot = e.a % CameraSlots;
        Camera& camera = cameras[slot];
        if (camera.present && camera.lookups > 0) {
            --camera.lookups;
            LookupEnded(slot, e.b);
        }
        break;
    }
    case EventKind::Answer: {
        const int slot = e.a % CameraSlots;
        Camera& camera = cameras[slot];
        if (!camera.present || camera.current == 0)
            break;
        const std::uint64_t id = camera.current;
        Socket& socket = camera.sockets[id];
        if (!socket.connectPending)
            break;
        socket.connectPending = false;
        socket.state = e.b ? SocketState::Connected : SocketState::Refused;
        Post(slot, [this, slot, generation = socket.generation, endpoint = socket.endpoint,
                    endpoints = socket.endpoints, outcome = e.b ? Written : Failed] {
            ConnectEnded(slot, generation, endpoint, endpoints, outcome);
        });
        if (socket.writePending)
            EndPendingWrite(slot, id, e.b != 0, Refused);
        break;
    }
    case EventKind::Drop:
    case EventKind::Stall: {
        const int slot = e.a % CameraSlots;
        Camera& camera = cameras[slot];
        if (!camera.present || camera.current == 0)
            break;
        const std::uint64_t id = camera.current;
        Socket& socket = camera.sockets[id];
        if (socket.state != SocketState::Connected)
            break;
        if (e.kind == EventKind::Stall && e.b) {
            socket.stalled = true;
            break;
        }
        if (e.kind == EventKind::Drop)
            socket.state = SocketState::Broken;
        socket.stalled = false;
        if (socket.writePending)
            EndPendingWrite(slot, id, e.kind != EventKind::Drop, "Connection reset by peer");
        break;
    }
    case EventKind::Advance:
        AdvanceTo(now + e.a);
        break;
    case EventKind::Trigger: {
        const int slot = e.a % CameraSlots;
        if (cameras[slot].present)
            Select(slot, false);
        break;
    }
    case EventKind::Reload:
        switch (e.a % ReloadKinds) {
        case 0: {
            const int slot = e.b % CameraSlots;
            if (e.c && !cameras[slot].present)
                AddCamera(slot);
            else if (!e.c && cameras[slot].present)
                RemoveCamera(slot);
            break;
        }
        case 1: {
            const UserSpec& spec = Users[e.b % UserCount];
            User& user = users[spec.name];
            if (e.c && !user.present) {
                user = User{true, spec.priority};
            } else if (!e.c && user.present) {
                user.present = false;
                // In the table's order: each ends, then loses its holds.
                for (const int client : idOwner) {
                    Connection& connection = connections[client];
                    if (!connection.live || connection.user != spec.name)
                        continue;
                    Lost(connection);
                    EndSession(connection);
                    if (Holding(connection.KeyOf()) == &connection) {
                        for (int slot = 0; slot < CameraSlots; ++slot)
                            if (cameras[slot].present && cameras[slot].holder == connection.KeyOf())
                                Lapse(slot);
                        if (chooser == connection.KeyOf())
                            chooser = 0;
                    }
                }
                // Their ends reach the table in the same order.
                const std::vector<int> owners = idOwner;
                for (const int client : owners)
                    if (connections[client].live && connections[client].ended)
                        Remove(connections[client]);
            }
            break;
        }
        case 2: {
            const UserSpec& spec = Users[e.b % UserCount];
            User& user = users[spec.name];
            if (!user.present)
                break;
            user.priority = e.c;
            for (Connection& connection : connections)
                if (connection.live && connection.user == spec.name)
                    connection.priority = e.c;
            break;
        }
        case 3:
            requireLogin = e.c != 0;
            break;
        case 4:
            lockTimeMs = 1000 * (1 + e.c % 5);
            break;
        default:
            retryIntervalSecs = 1 + e.c % 4;
            break;
        }
        break;
    case EventKind::Serial: {
        Camera& camera = cameras[SerialSlot];
        const int what = e.a % 4;
        if (what == 3) {
            devicePresent = true;
            break;
        }
        if (what == 2)
            devicePresent = false;
        if (!camera.present || !camera.sockets[1].writePending || (what == 0 && !devicePresent))
            break;
        EndPendingWrite(SerialSlot, 1, what == 0, "Input/output error");
        break;
    }
    case EventKind::Name:
        if (cameras[e.a % CameraSlots].present)
            nvrNames[e.a % CameraSlots] = NvrName(e.a, e.b);
        break;
    }
    Drain();
}

Observations Model::Observe() const
{
    Observations seen;
    seen.clients = views;
    for (int slot = 0; slot < CameraSlots; ++slot) {
        const Camera& camera = cameras[slot];
        if (!camera.present)
            continue;
        CameraView& view = seen.cameras[slot];
        view.instance = camera.instance;
        view.link = LinkName(static_cast<int>(camera.link));
        view.carried = camera.carried;
        view.lines = camera.lines;
        if (camera.holder != 0)
            view.hold = HoldView{static_cast<std::uint16_t>(camera.holder & 0xFFFF),
                                 camera.holderPriority, camera.deadline - now};
    }
    return seen;
}

} // namespace korvel::model
