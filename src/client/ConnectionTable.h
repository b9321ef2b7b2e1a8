#pragma once

#include "client/Notification.h"
#include "client/SessionStateMachine.h"
#include "clock/TimeSource.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

using SessionNumber = std::uint16_t; // the client's source port; 0: nobody
using Priority = std::int32_t;       // larger wins; -1 for an unheld camera
using CameraIndex = std::size_t;     // a camera's slot on the operator side
using ConnectionId = std::size_t;
inline constexpr CameraIndex NoCamera = static_cast<CameraIndex>(-1);
inline constexpr ConnectionId NoConnection = static_cast<ConnectionId>(-1);

// Who a hold or the chooser slot belongs to, and the tag a command carries
// through its camera (CommandSender): the session number in the low 16 bits,
// and above them, for a connection started while logins were required, the
// connection's serial. A connection started without RequireLogin is known by
// its number alone, as the protocol has it (a later connection with the
// number is the same session); one started with it is known as itself, and
// its serial is never another connection's. 0: nobody.
using SessionKey = std::uint64_t;
constexpr SessionNumber NumberOf(SessionKey key)
{
    return static_cast<SessionNumber>(key & 0xFFFF);
}

// What the registry and the control service do to one operator session: its
// transport (ClientSession), or a test's. On the I/O loop thread; none of
// these calls back into its caller.
class OperatorSession : public NoticeSink
{
public:
    // The registry's own answer to a message whose answer it held back.
    virtual void Answer(const SessionAnswer& answer) = 0;
    // Its user may no longer steer: the session ends now, logged like a lost one.
    virtual void Revoke() = 0;
    // The service stops, or the connection gives its place to a newcomer:
    // the session ends now, without a line.
    virtual void Close() = 0;

protected:
    ~OperatorSession() = default;
};

// One operator connection as the operator side knows it.
struct OperatorConnection
{
    SessionNumber number = 0;
    std::uint64_t serial = 0; // this connection's alone in the run
    std::string clientAddress;
    std::string userName; // empty until a LOGIN passes (configured names never are)
    Priority priority = 0;
    // Started while logins were required: it counts commands only once logged in.
    bool loginRequired = false;
    bool ignoredCommandLogged = false;
    // Its greeting, or the last message it sent.
    TimeSource::TimePoint idleSince{};
    CameraIndex camera = NoCamera; // the camera it works with
    // "#F00000 <user> has control", told the others when it takes a camera.
    const Notification* hasControl = nullptr;
    std::shared_ptr<OperatorSession> session;
    bool live = false;

    bool LoggedIn() const { return !userName.empty(); }
    SessionKey Key() const { return loginRequired ? serial << 16 | number : number; }
};

// The one table of the operator connections: the registry (ClientServer)
// adds and removes them, the arbitration and the control service refer to
// them by id and ask here. No I/O.
//
// Sessions are known to the protocol by their number; a later connection
// with the number of a live one takes the number over: from then on notices
// for that number go to it, and the earlier connection only keeps steering
// the camera it was working with. Hence an id of its own for each
// connection; an id goes to a later connection once its own has been removed.
// A connection started while logins were required is known by its key
// (SessionKey) instead: it takes no number over, and none is taken from it.
//
// The watchers of a camera are the connections that work with it and have
// their key: they are told who has control of it.
class ConnectionTable
{
public:
    ConnectionTable();
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    // Greeted at `now`.
    ConnectionId Add(SessionNumber number, std::string clientAddress, bool loginRequired,
                     std::shared_ptr<OperatorSession> session,
                     TimeSource::TimePoint now = TimeSource::TimePoint());
    void Remove(ConnectionId id);

    const OperatorConnection& operator[](ConnectionId id) const { return connections[id]; }
    // Live connections.
    std::size_t Count() const { return live; }
    // The live connections, in id order (a copy: the caller may remove them).
    std::vector<ConnectionId> Ids() const;
    std::vector<ConnectionId> LoggedInAs(const std::string& userName) const;
    // The connection that has the number, NoConnection when none has (a
    // connection started while logins were required has none).
    ConnectionId Registered(SessionNumber number) const;
    // The live connection that has the key, NoConnection when none has.
    ConnectionId Holding(SessionKey key) const;
    // The user of the connection that has the key; empty when none has it
    // or it never logged in.
    const std::string& UserOf(SessionKey key) const;

    // A LOGIN passed: the connection steers as that user from now on.
    void LogIn(ConnectionId id, const std::string& userName, Priority priority);
    void SetPriority(ConnectionId id, Priority priority);
    void NoteIgnoredCommandLogged(ConnectionId id);
    // The connection sent a message at `now`.
    void Spoke(ConnectionId id, TimeSource::TimePoint now) { connections[id].idleSince = now; }

    // The connection works with the camera from now on (NoCamera: none).
    void Watch(ConnectionId id, CameraIndex camera);
    // Every connection that worked with the camera works with none from now
    // on; returns those that were its watchers.
    std::vector<ConnectionId> ForgetCamera(CameraIndex camera);
    // By key (for connections known by their number alone, by session number).
    const std::map<SessionKey, ConnectionId>& Watchers(CameraIndex camera) const;
    // What a holder that has no connection is announced as.
    const Notification& AnonymousHasControl() const { return *anonymous; }

private:
    void Unwatch(ConnectionId id);
    const Notification& HasControlText(const std::string& userName);

    std::vector<OperatorConnection> connections;
    std::vector<ConnectionId> freeIds;
    std::size_t live = 0;
    std::uint64_t serials = 0;
    std::map<SessionNumber, ConnectionId> registered;
    // Those started while logins were required, by serial.
    std::unordered_map<std::uint64_t, ConnectionId> bySerial;
    std::vector<std::map<SessionKey, ConnectionId>> watchers; // by camera
    // Made once per user name: a stream of commands announces without
    // composing a text each time.
    std::map<std::string, Notification> hasControlTexts;
    const Notification* anonymous = nullptr;
};

} // namespace korvel
