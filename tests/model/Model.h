#pragma once

// The reference model: the control rules written down once more from what
// they say, sharing no code with the service. It takes the events of a run
// (Events.h) one at a time and says what each workstation and each camera
// must have seen by the end of each (Observe). Asynchronous work (a write's
// completion, a connect's end, a session's end) waits in its own queue, in
// the order the I/O loop would run it, and runs before the step is over.
//
// Waits on the clock that fall due at one instant run in the order they
// were set, as the loop's timers do; the hold timer follows the earliest
// deadline as the control service says.
//
// The rules it holds:
//   - sessions: greeted "SESSION <number>"; numbers may collide, and a
//     later connection without RequireLogin takes the number over (notices
//     for the number go to it, the earlier one keeps only its camera for
//     its own commands); one started with RequireLogin is known as itself
//     and may send only LOGIN until it has logged in, within the login
//     timeout. LOGIN passes for a user with no password or the one sent
//     ("OK", the user's priority), else "FAILURE"; where failed logins are
//     slowed, the first five of an address and name within a minute are
//     answered at once, each after them a delay after the one before
//     (1 s doubling to 30 s), and what the session sends meanwhile waits.
//   - the priority test: admitted when nobody holds the camera, the sender
//     holds it, or the sender's priority is greater than the holder's.
//   - the hold: taken when the command's write completes, for the lock time
//     after the holder's last such command; its watchers are told "#0000F0
//     You have control" (the holder) or "#F00000 <user> has control"; it
//     lapses at its deadline ("#0000F0 " to every watcher), when its user is
//     removed, or with its camera ("#0000F0 " to the camera's watchers).
//   - choose mode: one chooser slot; CHOOSE takes it if free, CANCEL frees
//     its own; a command for another camera selects that camera ("1CAMERA")
//     for whoever has the sender's key; a soft trigger hands its camera to
//     the chooser ("0CAMERA").
//   - the camera link: a lookup makes a new socket (the one before closes,
//     what was queued for it is dropped, its write in flight ends aborted);
//     a failed lookup leaves a camera without a socket without one for good;
//     a refused connect tries the next endpoint on a new socket, and after
//     the last one waits the retry interval and looks up again; a failed
//     command write starts a new lookup (one per failure) and takes no hold.
//   - the write path: a command goes to the socket the camera has when it
//     is sent, written at once when the socket is idle, else queued behind
//     the write in flight; a socket still connecting carries it once
//     connected; one that failed fails it at once.
//   - a serial camera: its port open from the start, or never if its device
//     was missing then; a failed write reopens it, and a port that could not
//     be reopened is tried again before the next command, which is dropped
//     if it still cannot be; one write at a time.
//   - notices to a session whose notice write failed are dropped from then
//     on (its replies still go); nothing reaches a session that has ended.
#include "model/Events.h"
#include "model/Observations.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel::model {

class Model
{
public:
    using Ms = std::int64_t;

    explicit Model(const World& world);

    void Apply(const Event& event);
    Observations Observe() const;
    // The times an Advance stopped at (each deadline it met, then its end),
    // from the start of the run: the simulator moves its clock the same way.
    const std::vector<Ms>& Stops() const { return stops; }
    Ms Now() const { return now; }

    // Session numbers of the clients in connection order, for the simulator.
    const std::vector<std::uint16_t>& ClientNumbers() const { return clientNumbers; }

private:
    using Key = std::uint64_t;

    enum class Link
    {
        NoSocket,
        Connecting,
        Connected,
        Waiting,
        WithoutTransport,
        Stopped,
        Open,       // serial
        PortClosed, // serial: reopened before the next command
    };
    enum class SocketState
    {
        Connecting,
        Connected,
        Refused,
        Broken,
        Closed,
    };
    struct Command
    {
        Key sender = 0;
        int priority = 0;
        std::uint32_t serial = 0;
    };
    struct Socket
    {
        std::uint64_t generation = 0;
        int endpoint = 0;
        int endpoints = 1;
        SocketState state = SocketState::Connecting;
        bool connectPending = true;
        bool stalled = false;
        std::optional<Command> inFlight; // as the write path sees it
        bool writePending = false;       // the socket still has its bytes
    };
    struct Camera
    {
        bool present = false;
        int instance = 0;
        std::uint64_t added = 0;
        Key holder = 0;
        int holderPriority = -1;
        Ms deadline = 0;
        Link link = Link::NoSocket;
        std::uint64_t generation = 0;
        int lookups = 0; // under way
        std::map<std::uint64_t, Socket> sockets;
        std::uint64_t current = 0; // the newest socket, 0: none
        std::uint64_t opened = 0;
        std::uint64_t pathTransport = 0; // the socket the queue is for
        std::deque<Command> queue;
        std::uint64_t retryWait = 0;
        std::uint64_t retryWaitsStarted = 0;
        std::optional<Ms> retryDue;
        std::uint64_t retryArmed = 0;
        std::map<std::uint64_t, std::vector<std::uint32_t>> carried;
        std::vector<std::string> lines;
        bool troubleLogged = false; // only the first connect or write failure is logged
        bool retryPending = false;  // a retry wait whose end has not been heard
    };
    // A message from a workstation, handled in the order sent.
    struct Message
    {
        EventKind kind = EventKind::Command;
        int name = 0;
        bool right = false;
        unsigned pelco = 0;
        std::uint32_t serial = 0;
    };
    struct Connection
    {
        int client = 0;
        std::uint16_t number = 0;
        std::string address;
        bool loginRequired = false;
        std::uint64_t serial = 0;
        std::string user;
        int priority = 0;
        int camera = -1;
        bool live = false;    // in the table
        bool ended = false;   // hears nothing more
        bool noticesOff = false;
        bool breakNext = false;
        std::optional<Ms> loginDeadline;
        std::size_t id = 0;
        bool hungUp = false; // the workstation closed its end
        // A FAILURE held back until then; what the workstation sends
        // meanwhile waits its turn.
        std::optional<Ms> failureDue;
        std::uint64_t failureArmed = 0;
        std::uint64_t loginArmed = 0;
        std::deque<Message> waiting;
        Key KeyOf() const { return loginRequired ? serial << 16 | number : number; }
    };
    struct User
    {
        bool present = true;
        int priority = 0;
    };

    // Sessions.
    void Connect(int numberChoice, int addressChoice);
    Connection* Client(int choice);
    void Receive(Connection& from, const Message& message);
    void Handle(Connection& from, const Message& message);
    void Login(Connection& from, int name, bool right);
    // When a failed LOGIN's FAILURE may go; none: at once.
    std::optional<Ms> LoginFailed(const std::string& address, const std::string& user);
    void ReceiveTurn(int client);
    void Close(Connection& connection);
    void Lost(const Connection& connection); // its line
    void EndSession(Connection& connection);
    void Remove(Connection& connection);
    Connection* Holding(Key key);
    std::vector<Connection*> Watchers(int camera);
    void Notice(Connection& to, const std::string& text);
    void Reply(Connection& to, const std::string& text);

    // Control.
    int CameraByPelco(unsigned pelco) const;
    void Steer(Connection& from, unsigned pelco, std::uint32_t serial);
    void Select(int camera, bool byCommand);
    std::string CameraText(bool byCommand, int camera) const;
    void Delivered(int camera, const Command& command);
    void Lapse(int camera);

    // The cameras' links and write paths.
    void AddCamera(int slot);
    void RemoveCamera(int slot);
    void SendCommand(int camera, const Command& command);
    std::uint64_t Transport(const Camera& camera) const;
    void FollowTransport(Camera& camera);
    void Write(int camera, const Command& command);
    void WriteWaiting(int camera);
    void WriteFailed(int camera, const std::string& reason);
    void WriteSerial(int camera, const Command& command);
    void ReopenPort(int camera);
    void Trouble(int camera, const std::string& line);
    void RetryWaitEnds(int camera);
    void InFlightEnded(int camera, std::uint64_t socket, int outcome, const std::string& reason);
    void LookupEnded(int camera, int endpoints);
    void OpenSocket(int camera, int endpoint, int endpoints);
    void CloseSocket(int camera, std::uint64_t socket);
    void EndPendingWrite(int camera, std::uint64_t socket, bool written, const std::string& reason);
    void ConnectEnded(int camera, std::uint64_t generation, int endpoint, int endpoints,
                      int outcome);
    void Carry(int camera, std::uint64_t socket, const Command& command);

    void AdvanceTo(Ms until);
    void FollowHold(Ms deadline);
    void HoldTimerEnded();
    void Post(int camera, std::function<void()> work);
    void Drain();

    World world;
    Ms now = 0;
    int lockTimeMs = 0;
    int retryIntervalSecs = 0;
    std::map<int, std::string> nvrNames; // by camera slot (its address)
    bool devicePresent = true;           // the serial camera's device
    std::vector<Ms> stops;
    bool requireLogin = false;
    std::vector<Connection> connections; // by client
    std::vector<std::uint16_t> clientNumbers;
    std::vector<ClientView> views;
    // The connection table's ids: which client has each, and those free.
    std::vector<int> idOwner;
    std::vector<std::size_t> freeIds;
    std::map<std::uint16_t, int> registered; // number -> client
    std::uint64_t serials = 0;
    Key chooser = 0;
    Camera cameras[CameraSlots];
    std::uint64_t camerasAdded = 0;
    std::map<std::string, User> users;
    std::uint32_t commandSerials = 0;
    // Failed logins by client address and user (empty: names no user has).
    struct FailedLogins
    {
        std::deque<Ms> recent; // answered at once within the window
        Ms lastReply = 0;
        Ms delay = 0; // of the next held-back FAILURE; 0 until slowed
    };
    std::map<std::pair<std::string, std::string>, FailedLogins> failedLogins;
    std::deque<std::function<void()>> loop;
    // Waits on the clock are ordered by when they were set.
    std::uint64_t armed = 0;
    std::optional<std::pair<Ms, std::uint64_t>> holdWait; // the hold timer's: expiry, when set
};

} // namespace korvel::model
