#include "model/Simulator.h"

#include "camera/CameraLink.h"
#include "camera/LinkStateMachine.h"
#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ClientSession.h"
#include "client/ControlService.h"
#include "client/SessionStateMachine.h"
#include "loop/IoOutcome.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"
#include "ops/StatusSnapshot.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <cerrno>
#include <optional>
#include <utility>

namespace korvel::model {

namespace {

bool IsNotice(const std::string& text)
{
    return (!text.empty() && text[0] == '#') ||
           (text.size() > 1 && text.compare(1, 6, "CAMERA") == 0);
}

const char* LinkName(LinkState state)
{
    switch (state) {
    case LinkState::NoSocket:
        return "no socket";
    case LinkState::Connecting:
        return "connecting";
    case LinkState::Connected:
        return "connected";
    case LinkState::Waiting:
        return "waiting";
    case LinkState::WithoutTransport:
        return "no transport";
    case LinkState::Stopped:
        return "stopped";
    case LinkState::Open:
        return "open";
    case LinkState::PortClosed:
        return "port closed";
    }
    return "?";
}

} // namespace

void Wire::Carried(std::uint64_t socket, const std::string& bytes)
{
    const std::uint32_t serial = CommandSerial(bytes);
    carried[socket].push_back(serial);
    const auto sent = sentOn.find(serial);
    if (sent == sentOn.end() || sent->second != socket)
        violations->push_back("command #" + std::to_string(serial) + " reached socket " +
                              std::to_string(socket) + " but was sent while the camera had socket " +
                              (sent == sentOn.end() ? std::string("?") : std::to_string(sent->second)));
    deliveredAt.emplace(now, senderOf[serial]);
}

// One workstation's connection: the socket's part of ClientSession, over
// bytes the run hands in and texts it keeps. Every rule is the session
// core's.
class SimSession final : public SessionTransport, public std::enable_shared_from_this<SimSession>
{
public:
    SimSession(boost::asio::io_context& io, TimeSource& time, SessionListener& listener,
               ClientView& view, std::vector<std::string>& violations)
        : io(io), time(time), listener(listener), view(view), violations(violations)
    {}

    std::error_code Start(ConnectionId connection, std::uint16_t number,
                          const std::string& clientAddress,
                          std::optional<TimeSource::TimePoint> deadline) override
    {
        id = connection;
        Perform(core.Start(number, clientAddress, deadline));
        return {};
    }
    void Send(Notification text) override { Perform(core.Notice(std::move(text))); }
    void Answer(const SessionAnswer& answer) override { Perform(core.AnswerCame(answer)); }
    void Revoke() override { Perform(core.Revoked()); }
    void Close() override { Perform(core.Stopped()); }

    // The workstation.
    bool Closed() const { return closedByService || hungUp; }
    void ClientSends(std::string bytes)
    {
        inbound.push_back(std::move(bytes));
        WakeReceive();
    }
    void HangUp()
    {
        hungUp = true;
        WakeReceive();
    }
    void BreakNextNotice() { breakNext = true; }

private:
    void WakeReceive()
    {
        if (!awaiting)
            return;
        awaiting = false;
        boost::asio::post(io, [self = shared_from_this()] { self->StartReceive(); });
    }

    void Perform(SessionActions actions)
    {
        if (!actions.logLine.empty())
            view.lines.push_back(actions.logLine);
        if (actions.end)
            End();
        if (actions.cancelLoginDeadline && loginDeadline)
            loginDeadline->Cancel();
        if (actions.cancelAnswerDeadline && answerDeadline)
            answerDeadline->Cancel();
        if (actions.loginDeadline)
            Arm(loginDeadline, *actions.loginDeadline, SessionStateMachine::Deadline::Login);
        if (actions.answerDeadline)
            Arm(answerDeadline, *actions.answerDeadline, SessionStateMachine::Deadline::Answer);
        if (actions.write)
            WriteFront(actions.atOnce);
        if (actions.report)
            Perform(core.Answered(listener.SessionReported(id, *actions.report)));
        switch (actions.receive) {
        case SessionActions::Receive::None:
            break;
        case SessionActions::Receive::Now:
            StartReceive();
            break;
        case SessionActions::Receive::WhenReadable:
            if (inbound.empty() && !hungUp)
                awaiting = true;
            else
                boost::asio::post(io, [self = shared_from_this()] { self->StartReceive(); });
            break;
        case SessionActions::Receive::LaterTurn:
            boost::asio::post(io, [self = shared_from_this()] { self->StartReceive(); });
            break;
        }
    }

    void StartReceive()
    {
        if (closedByService)
            return; // the socket is closed: the receive ends as aborted
        if (!inbound.empty()) {
            buffer = std::move(inbound.front());
            inbound.pop_front();
            Perform(core.Received(buffer.data(), buffer.size()));
        } else if (hungUp) {
            Perform(core.ReceiveFailed());
        } else {
            awaiting = true;
        }
    }

    void WriteFront(bool atOnce)
    {
        if (closedByService) {
            violations.push_back("a write began on session " + std::to_string(id) +
                                 " after it had ended");
            return;
        }
        const std::string text = core.Front();
        const bool fails = breakNext && IsNotice(text);
        if (fails)
            breakNext = false;
        if (atOnce) {
            if (fails) {
                Perform(core.WriteFailed("Broken pipe"));
                return;
            }
            Deliver(text);
            Perform(core.Written());
            return;
        }
        boost::asio::post(io, [self = shared_from_this(), text, fails] {
            if (self->closedByService) {
                self->Perform(self->core.WriteFailed("Operation canceled"));
            } else if (fails) {
                self->Perform(self->core.WriteFailed("Broken pipe"));
            } else {
                self->Deliver(text);
                self->Perform(self->core.Written());
            }
        });
    }

    void Deliver(const std::string& text)
    {
        if (!hungUp)
            view.received.push_back(text);
    }

    void Arm(std::unique_ptr<LoopTimer>& timer, TimeSource::TimePoint deadline,
             SessionStateMachine::Deadline which)
    {
        if (!timer)
            timer = std::make_unique<LoopTimer>(io, time);
        timer->ExpiresAt(deadline);
        timer->AsyncWait([self = shared_from_this(), which](const boost::system::error_code& error) {
            if (!error)
                self->Perform(self->core.DeadlineReached(which));
        });
    }

    void End()
    {
        closedByService = true;
        view.closedByService = true;
        if (loginDeadline)
            loginDeadline->Cancel();
        if (answerDeadline)
            answerDeadline->Cancel();
        boost::asio::post(io, [self = shared_from_this()] {
            self->listener.SessionReported(self->id,
                                           SessionReport{SessionReport::Kind::Ended, nullptr, 0, {}});
        });
    }

    boost::asio::io_context& io;
    TimeSource& time;
    SessionListener& listener;
    ClientView& view;
    std::vector<std::string>& violations;
    ConnectionId id = NoConnection;
    SessionStateMachine core;
    std::deque<std::string> inbound; // one receive each
    std::string buffer;
    bool awaiting = false;
    bool hungUp = false;
    bool closedByService = false;
    bool breakNext = false;
    std::unique_ptr<LoopTimer> loginDeadline;
    std::unique_ptr<LoopTimer> answerDeadline;
};

// One network camera's link: NetworkLink's part, over lookups, connects and
// sockets that the run answers. Every rule is the link state machine's.
class SimLink final : public CameraLink
{
public:
    SimLink(boost::asio::io_context& io, TimeSource& time, const std::string& address,
            int retryIntervalSecs, Wire& wire)
        : io(io), machine(LinkStateMachine::Network(address, "1000", retryIntervalSecs)),
          retryTimer(io, time), wire(wire)
    {}

    void Start() override { Perform(machine.Start()); }
    CommandWritePath::TransportId Transport() const override
    {
        if (!machine.WritesCommands() || current == 0 ||
            sockets.at(current).state == Wiring::Closed)
            return CommandWritePath::NoTransport;
        return current;
    }
    LinkState State() const override { return machine.State(); }
    std::size_t TryWrite(const void* data, std::size_t length,
                         boost::system::error_code& error) override
    {
        Socket& socket = sockets.at(current);
        switch (socket.state) {
        case Wiring::Connected:
            if (socket.stalled)
                break;
            wire.Carried(current, std::string(static_cast<const char*>(data), length));
            return length;
        case Wiring::Connecting:
            break;
        case Wiring::Refused:
            error = boost::asio::error::connection_refused;
            return 0;
        case Wiring::Broken:
            error = boost::asio::error::broken_pipe;
            return 0;
        case Wiring::Closed:
            error = boost::asio::error::bad_descriptor;
            return 0;
        }
        error = boost::asio::error::would_block;
        return 0;
    }
    void AsyncWrite(const void* data, std::size_t length, WriteHandler handler) override
    {
        Socket& socket = sockets.at(current);
        socket.pending = std::string(static_cast<const char*>(data), length);
        socket.handler = std::move(handler);
    }
    std::optional<std::size_t> UnsentBytes() const override { return std::nullopt; }
    void WriteFailed(const boost::system::error_code& error) override
    {
        Perform(machine.CommandWriteFailed(error.message()));
    }
    void Stop() override { Perform(machine.Stop()); }
    void SetRetryInterval(int seconds) override { machine.SetRetryInterval(seconds); }

    // The run.
    void LookupEnds(int endpoints)
    {
        if (lookups == 0)
            return;
        --lookups;
        boost::asio::post(io, lifetime.Guard([this, endpoints] {
            const LinkActions next =
                machine.ResolveEnded(endpoints ? Outcome::Done : Outcome::Failed,
                                     static_cast<std::size_t>(endpoints),
                                     endpoints ? "" : "Host not found");
            if (next.newSocket)
                endpointCount = endpoints;
            Perform(next);
        }));
    }
    void ConnectEnds(bool accepted)
    {
        if (current == 0)
            return;
        Socket& socket = sockets.at(current);
        if (!socket.connectPending)
            return;
        socket.connectPending = false;
        socket.state = accepted ? Wiring::Connected : Wiring::Refused;
        PostConnected(socket, accepted ? boost::system::error_code()
                                       : boost::system::error_code(boost::asio::error::connection_refused));
        if (socket.handler)
            FinishWrite(current, accepted ? boost::system::error_code()
                                          : boost::system::error_code(boost::asio::error::connection_refused));
    }
    void Breaks(bool drop, bool stall)
    {
        if (current == 0)
            return;
        Socket& socket = sockets.at(current);
        if (socket.state != Wiring::Connected)
            return;
        if (!drop && stall) {
            socket.stalled = true;
            return;
        }
        socket.stalled = false;
        if (drop)
            socket.state = Wiring::Broken;
        if (socket.handler)
            FinishWrite(current, drop ? boost::system::error_code(boost::asio::error::connection_reset)
                                      : boost::system::error_code());
    }

private:
    enum class Wiring
    {
        Connecting,
        Connected,
        Refused,
        Broken,
        Closed,
    };
    struct Socket
    {
        std::uint64_t generation = 0;
        std::size_t endpoint = 0;
        std::size_t endpoints = 1;
        Wiring state = Wiring::Connecting;
        bool connectPending = true;
        bool stalled = false;
        std::string pending; // the write in flight's bytes
        WriteHandler handler;
    };

    void PostConnected(const Socket& socket, boost::system::error_code error)
    {
        boost::asio::post(io, lifetime.Guard([this, generation = socket.generation,
                                              endpoint = socket.endpoint,
                                              endpoints = socket.endpoints, error] {
            Perform(machine.ConnectEnded(generation, endpoint, endpoints, OutcomeOf(error),
                                         error ? error.message() : std::string()));
        }));
    }

    // The write in flight ends: its bytes reach the camera if it succeeded.
    void FinishWrite(std::uint64_t id, boost::system::error_code error)
    {
        Socket& socket = sockets.at(id);
        if (!error)
            wire.Carried(id, socket.pending);
        boost::asio::post(io, [handler = std::move(socket.handler), error] { handler(error); });
        socket.handler = nullptr;
        socket.pending.clear();
    }

    void Close()
    {
        if (current == 0)
            return;
        Socket& socket = sockets.at(current);
        if (socket.state == Wiring::Closed)
            return;
        socket.state = Wiring::Closed;
        if (socket.connectPending) {
            socket.connectPending = false;
            PostConnected(socket, boost::asio::error::operation_aborted);
        }
        if (socket.handler)
            FinishWrite(current, boost::asio::error::operation_aborted);
    }

    void Perform(const LinkActions& actions)
    {
        if (!actions.logLine.empty())
            wire.lines.push_back(actions.logLine);
        if (actions.closeAll) {
            for (; lookups > 0; --lookups)
                boost::asio::post(io, lifetime.Guard([this] {
                    Perform(machine.ResolveEnded(Outcome::Aborted, 0, "Operation canceled"));
                }));
            retryTimer.Cancel();
            Close();
        }
        if (actions.newSocket || actions.connectTo)
            Close();
        if (actions.connectTo) {
            Socket socket;
            socket.generation = machine.SocketGeneration();
            socket.endpoint = *actions.connectTo;
            socket.endpoints = endpointCount;
            current = ++opened;
            sockets[current] = std::move(socket);
        }
        if (actions.cancelRetryWait)
            retryTimer.Cancel();
        if (actions.retryWait) {
            retryTimer.ExpiresAfter(*actions.retryWait);
            const std::uint64_t wait = machine.RetryWaitNumber();
            retryTimer.AsyncWait(lifetime.Guard([this, wait](const boost::system::error_code& error) {
                Perform(machine.RetryWaitEnded(wait, OutcomeOf(error)));
            }));
        }
        if (actions.resolve)
            ++lookups;
    }

    boost::asio::io_context& io;
    LinkStateMachine machine;
    LoopTimer retryTimer;
    Wire& wire;
    int lookups = 0;
    std::size_t endpointCount = 1;
    std::map<std::uint64_t, Socket> sockets;
    std::uint64_t current = 0;
    std::uint64_t opened = 0;
    Lifetime lifetime;
};

// The serial camera's port: SerialLink's part, over a device that the run
// takes away and brings back and writes that it ends. Every rule is the
// link state machine's.
class SimSerial final : public SerialCameraLink
{
public:
    SimSerial(boost::asio::io_context& io, const bool& devicePresent, Wire& wire)
        : io(io), present(devicePresent),
          machine(LinkStateMachine::Serial(SerialDevice, devicePresent)), wire(wire)
    {}

    bool Opened() const override { return machine.WritesCommands(); }
    const std::string& StartFailure() const override { return none; }
    LinkState State() const override { return machine.State(); }
    bool EnsureOpen() override
    {
        Perform(machine.CommandWaiting());
        return machine.State() == LinkState::Open;
    }
    void AsyncWrite(const void* data, std::size_t length, WriteHandler handler) override
    {
        pending = std::string(static_cast<const char*>(data), length);
        this->handler = std::move(handler);
        if (!present)
            Finish(Failure());
    }
    std::optional<std::size_t> OutputQueue() override { return std::nullopt; }
    void WriteFailed(const boost::system::error_code& error) override
    {
        Perform(machine.CommandWriteFailed(error.message()));
    }
    void Stop() override
    {
        Perform(machine.Stop());
        if (handler)
            Finish(boost::asio::error::operation_aborted);
    }

    // The run: the write in flight ends (the device gone fails it too).
    void WriteEnds(bool written)
    {
        if (handler && (!written || present))
            Finish(written ? boost::system::error_code() : Failure());
    }

private:
    static boost::system::error_code Failure()
    {
        return boost::system::error_code(EIO, boost::system::system_category());
    }
    void Finish(boost::system::error_code error)
    {
        if (!error)
            wire.Carried(1, pending);
        boost::asio::post(io, [handler = std::move(handler), error] { handler(error); });
        handler = nullptr;
    }
    void Perform(const LinkActions& actions)
    {
        if (!actions.logLine.empty())
            wire.lines.push_back(actions.logLine);
        if (actions.reopen)
            Perform(machine.ReopenEnded(present, present ? "" : "No such file or directory"));
    }

    boost::asio::io_context& io;
    const bool& present;
    LinkStateMachine machine;
    Wire& wire;
    std::string pending;
    WriteHandler handler;
    const std::string none;
};

class Simulator::Registry final : public SessionListener
{
public:
    explicit Registry(Simulator& simulator) : simulator(simulator) {}
    SessionAnswer SessionReported(ConnectionId connection, const SessionReport& report) override
    {
        if (report.kind == SessionReport::Kind::Message)
            simulator.Handing(report.bytes, report.count, connection);
        return simulator.server->SessionReported(connection, report);
    }

private:
    Simulator& simulator;
};

void Simulator::Handing(const char* bytes, std::size_t count, ConnectionId from)
{
    if (count < 6 || bytes[0] != '\xFF')
        return;
    const std::uint32_t serial = CommandSerial(std::string(bytes, count));
    for (CameraEntry& entry : cameras) {
        if (!entry.camera)
            continue;
        entry.wire->sentOn[serial] =
            entry.link ? entry.link->Transport() : entry.serial->Opened() ? 1 : 0;
        entry.wire->senderOf[serial] = table[from].number;
    }
}

Simulator::Simulator(const World& world)
    : world(world), lockTimeSecs(world.lockTimeMs / 1000),
      retryIntervalSecs(world.retryIntervalSecs), lockTimesUsed{world.lockTimeMs}
{
    for (const UserSpec& user : Users)
        users[user.name] = UserAccount{user.name, user.password, user.priority};
    policy.requireLogin = world.requireLogin;
    policy.loginTimeout = std::chrono::milliseconds(world.loginTimeoutMs);
    policy.throttleLogins = world.throttleLogins;
    for (int slot = 0; slot < CameraSlots; ++slot)
        if (CameraAtStart[slot])
            AddCamera(slot);
    control = std::make_unique<ControlService>(io, time, cameraTable, table);
    server = std::make_unique<ClientServer>(io, time, table, *control, users, policy);
    registry = std::make_unique<Registry>(*this);
    Drain();
}

Simulator::~Simulator()
{
    server->Close();
    control->Close();
    for (auto& entry : cameraTable)
        entry.second->Stop();
    Drain();
    server.reset();
    control.reset();
    cameraTable.clear();
    io.restart();
    io.poll();
}

void Simulator::Drain()
{
    for (auto& entry : cameras)
        if (entry.wire)
            entry.wire->now = now;
    io.restart();
    while (io.poll() > 0)
        io.restart();
}

void Simulator::AddCamera(int slot)
{
    CameraEntry& entry = cameras[slot];
    ++entry.instance;
    entry.wire = std::make_unique<Wire>();
    entry.wire->violations = &violations;
    entry.wire->now = now;
    CameraSettings settings;
    settings.address = CameraAddress(slot);
    settings.port = slot == SerialSlot ? SerialDevice : "1000";
    settings.pelcoNumber = CameraPelco[slot];
    settings.maxCommandAgeMs = 0;
    std::unique_ptr<TrackCamera> camera;
    if (slot == SerialSlot) {
        auto serial = std::make_unique<SimSerial>(io, devicePresent, *entry.wire);
        entry.serial = serial.get();
        camera = std::make_unique<TrackCamera>(io, time, settings, std::move(serial), lockTimeSecs);
    } else {
        auto link =
            std::make_unique<SimLink>(io, time, settings.address, retryIntervalSecs, *entry.wire);
        entry.link = link.get();
        camera = std::make_unique<TrackCamera>(io, time, settings, std::move(link), lockTimeSecs);
    }
    entry.camera = camera.get();
    if (control)
        control->AddCamera(*camera);
    cameraTable.emplace(settings.address, std::move(camera));
}

void Simulator::RemoveCamera(int slot)
{
    CameraEntry& entry = cameras[slot];
    const std::string address = CameraAddress(slot);
    entry.camera->Stop();
    control->RemoveCamera(address);
    cameraTable.erase(address);
    entry.camera = nullptr;
    entry.link = nullptr;
    entry.serial = nullptr;
    entry.wire.reset();
}

SimSession* Simulator::Client(int choice)
{
    const int count = static_cast<int>(sessions.size());
    if (count == 0)
        return nullptr;
    SimSession* chosen = sessions[count - 1 - choice % std::min(count, ClientsInReach)].get();
    return chosen->Closed() ? nullptr : chosen;
}

void Simulator::Send(int choice, const std::string& bytes)
{
    if (SimSession* from = Client(choice))
        from->ClientSends(bytes);
}

void Simulator::Apply(const Event& e, const std::vector<std::int64_t>& stops)
{
    switch (e.kind) {
    case EventKind::Connect: {
        views.emplace_back();
        ClientView& view = views.back();
        const bool admitted = server->Arrived(SessionNumberOf(e.a), ClientAddressOf(e.b), [&] {
            auto session = std::make_shared<SimSession>(io, time, *registry, view, violations);
            sessions.push_back(session);
            return session;
        });
        if (!admitted)
            violations.push_back("a connection was refused");
        break;
    }
    case EventKind::Login: {
        const std::string password = LoginPassword(e.b, e.c != 0);
        Send(e.a, "LOGIN " + LoginName(e.b) + (password.empty() ? "" : " " + password));
        break;
    }
    case EventKind::Choose:
        Send(e.a, "CHOOSE");
        break;
    case EventKind::Cancel:
        Send(e.a, "CANCEL");
        break;
    case EventKind::Command: {
        const std::uint32_t serial = ++commandSerials;
        const int choice = e.b % (CameraSlots + 1);
        const unsigned pelco = choice == CameraSlots ? UnknownPelco : CameraPelco[choice];
        SimSession* from = Client(e.a);
        if (!from)
            break;
        from->ClientSends(CommandBytes(pelco, serial, e.c != 0));
        break;
    }
    case EventKind::Hangup:
        if (SimSession* from = Client(e.a))
            from->HangUp();
        break;
    case EventKind::BreakNotices:
        if (SimSession* to = Client(e.a))
            to->BreakNextNotice();
        break;
    case EventKind::Resolve:
        if (SimLink* link = cameras[e.a % CameraSlots].link)
            link->LookupEnds(e.b);
        break;
    case EventKind::Answer:
        if (SimLink* link = cameras[e.a % CameraSlots].link)
            link->ConnectEnds(e.b != 0);
        break;
    case EventKind::Drop:
        if (SimLink* link = cameras[e.a % CameraSlots].link)
            link->Breaks(true, false);
        break;
    case EventKind::Stall:
        if (SimLink* link = cameras[e.a % CameraSlots].link)
            link->Breaks(false, e.b != 0);
        break;
    case EventKind::Advance:
        for (const std::int64_t stop : stops) {
            time.Advance(std::chrono::milliseconds(stop - now));
            now = stop;
            Drain();
        }
        break;
    case EventKind::Trigger:
        if (cameras[e.a % CameraSlots].camera)
            control->SoftTriggerFired(CameraAddress(e.a % CameraSlots));
        break;
    case EventKind::Reload:
        switch (e.a % ReloadKinds) {
        case 0: {
            const int slot = e.b % CameraSlots;
            if (e.c && !cameras[slot].camera)
                AddCamera(slot);
            else if (!e.c && cameras[slot].camera)
                RemoveCamera(slot);
            break;
        }
        case 1: {
            const UserSpec& spec = Users[e.b % UserCount];
            const bool present = users.count(spec.name) != 0;
            if (e.c && !present) {
                users[spec.name] = UserAccount{spec.name, spec.password, spec.priority};
            } else if (!e.c && present) {
                users.erase(spec.name);
                server->EndSessionsOf(spec.name);
            }
            break;
        }
        case 2: {
            const UserSpec& spec = Users[e.b % UserCount];
            const auto user = users.find(spec.name);
            if (user == users.end())
                break;
            user->second.priority = e.c;
            server->SetUserPriority(spec.name, e.c);
            break;
        }
        case 3:
            policy.requireLogin = e.c != 0;
            server->SetPolicy(policy);
            break;
        case 4:
            lockTimeSecs = 1 + e.c % 5;
            lockTimesUsed.push_back(1000 * lockTimeSecs);
            control->SetLockTime(std::chrono::seconds(lockTimeSecs));
            break;
        default:
            retryIntervalSecs = 1 + e.c % 4;
            for (auto& entry : cameraTable)
                entry.second->SetRetryInterval(retryIntervalSecs);
            break;
        }
        break;
    case EventKind::Serial:
        switch (e.a % 4) {
        case 0:
        case 1:
            if (cameras[SerialSlot].serial)
                cameras[SerialSlot].serial->WriteEnds(e.a % 4 == 0);
            break;
        case 2:
            devicePresent = false;
            if (cameras[SerialSlot].serial)
                cameras[SerialSlot].serial->WriteEnds(false);
            break;
        default:
            devicePresent = true;
            break;
        }
        break;
    case EventKind::Name:
        control->SetNvrCameraName(CameraAddress(e.a % CameraSlots), NvrName(e.a, e.b));
        break;
    }
    Drain();
}

Observations Simulator::Observe()
{
    Observations seen;
    seen.clients.assign(views.begin(), views.end());
    StatusSnapshot status;
    control->Describe(status, time.Now());
    for (int slot = 0; slot < CameraSlots; ++slot) {
        const CameraEntry& entry = cameras[slot];
        if (!entry.camera)
            continue;
        CameraView& view = seen.cameras[slot];
        view.instance = entry.instance;
        view.link = LinkName(entry.camera->GetLinkState());
        view.carried = entry.wire->carried;
        view.lines = entry.wire->lines;
        for (const CameraStatus& camera : status.cameras) {
            if (camera.address != CameraAddress(slot) || !camera.holder)
                continue;
            view.hold = HoldView{camera.holder->session, camera.holder->priority,
                                 camera.holder->holdLeftMs};
            // Only a completed write holds: its sender's command reached the
            // camera when the hold began.
            bool delivered = false;
            for (const int lockTime : lockTimesUsed) {
                const std::int64_t began = now + camera.holder->holdLeftMs - lockTime;
                const auto [first, last] = entry.wire->deliveredAt.equal_range(began);
                for (auto at = first; at != last; ++at)
                    delivered = delivered || at->second == camera.holder->session;
            }
            if (!delivered)
                violations.push_back("camera " + std::to_string(slot) + " is held by session " +
                                     std::to_string(camera.holder->session) +
                                     " since a moment none of its commands reached it");
        }
    }
    return seen;
}

std::vector<std::string> Simulator::Violations()
{
    return std::exchange(violations, {});
}

} // namespace korvel::model
