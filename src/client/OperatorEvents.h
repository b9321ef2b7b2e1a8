#pragma once

#include "client/ConnectionTable.h"
#include "ops/StatusSnapshot.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// A session as an event names it: its number, its user as it stands (none
// when it never logged in, or no connection has the number), its priority.
struct SessionFacts
{
    SessionNumber session = 0;
    std::optional<std::string> user;
    Priority priority = 0;
};

// A user name as events and the status give it: none for a session that
// never logged in.
inline std::optional<std::string> UserOrNone(const std::string& userName)
{
    return userName.empty() ? std::nullopt : std::optional<std::string>(userName);
}

// What happens on the operator side that the operations view counts and
// records: told by the session registry (ClientServer) and the control
// service (ControlService), heard by OperationsFeed. Each event carries all
// that is known of it when it happens, so that the listener never asks the
// operator side back. Cameras by slot and Pelco number. Each does nothing
// here: a service without an operations view is told NoOperatorEvents().
//
// Threads: every call on the I/O loop thread.
class OperatorEvents
{
public:
    virtual ~OperatorEvents() = default;

    // The registry.
    virtual void SessionStarted() {}
    // A connection beyond the session cap was closed at once, ungreeted.
    virtual void SessionRefused() {}
    // A connection that had not logged in was closed to make room for a
    // newcomer at the session cap (its end follows as for any session).
    virtual void SessionEvicted() {}
    // A line of a kind that one client address may have logged only so
    // often (LineBudget) was not logged.
    enum class LineKind
    {
        UnknownCamera,   // "Unknown Pelco camera ID ..."
        IgnoredCommands, // "Ignoring commands from session ..."
    };
    virtual void LineNotLogged(LineKind) {}
    // A LOGIN was answered, passed or not, with the name as the client sent
    // it (and, passed, the user's priority); knownName when a user has that name.
    struct Login
    {
        SessionNumber session = 0;
        std::string client;
        std::string name;
        bool passed = false;
        bool knownName = false;
        Priority priority = 0;
    };
    virtual void LoginAnswered(const Login&) {}
    // A failed LOGIN's FAILURE is held back.
    virtual void LoginThrottled() {}
    // The session has left the registry.
    struct Ended
    {
        SessionNumber session = 0;
        std::optional<std::string> user;
        std::string client;
    };
    virtual void SessionEnded(const Ended&) {}

    // The control service.
    virtual void UnknownCamera() {}
    struct CameraEvent
    {
        CameraIndex camera = NoCamera;
        std::uint32_t pelco = 0;
        SessionFacts session; // who acted, or whose hold lapsed
        // Refused: the holder that refused it; taken: the holder until now.
        std::optional<SessionFacts> other;
    };
    // The priority test refused a command.
    virtual void CommandRefused(const CameraEvent&) {}
    // A command's write completed and its sender takes the camera from the
    // holder until now (none, or another session).
    virtual void ControlTaken(const CameraEvent&) {}
    // A hold lapsed (or ended with its camera or its user).
    virtual void HoldLapsed(const CameraEvent&) {}
    // A fired soft trigger handed the camera to the connection in choose mode.
    virtual void HandedOver(const CameraEvent&) {}
    // A reload removed the camera (stopped already, so that what still
    // waited for it counts as dropped), with its commands since it was
    // added; its slot may go to another.
    virtual void CameraRemoved(CameraIndex, const RemovedCameraCommands&) {}
    virtual void NoticesSent(std::size_t /*count*/) {}

    // The service wrote to the camera of its own accord (CameraSafety): a
    // stop, a home preset or a patrol's preset (`preset`; 0 for a stop).
    enum class ServiceWriteKind
    {
        Stop,
        Home,
        Patrol,
    };
    struct ServiceWrite
    {
        CameraIndex camera = NoCamera;
        std::uint32_t pelco = 0;
        ServiceWriteKind kind = ServiceWriteKind::Stop;
        std::uint8_t preset = 0;
    };
    virtual void ServiceWritten(const ServiceWrite&) {}

    // The supervisor desk.
    enum class SupervisorActionKind
    {
        Login,
        Release,
        Reserve,
        Unreserve,
        EndSession,
        ReservationLapsed, // its time ran out, or its camera went
    };
    struct SupervisorAction
    {
        SupervisorActionKind kind = SupervisorActionKind::Login;
        std::string supervisor; // the user who asked, or whose reservation lapsed
        std::string result;     // "ok", "failed", "not-found", "conflict", "removed"
        std::optional<std::uint32_t> pelco;
        std::optional<SessionFacts> session; // EndSession: the session ended
        // Reserve: for whom (none: nobody) and for how long.
        std::optional<std::string> forUser;
        std::optional<std::uint32_t> minutes;
        std::string client; // Login: where from
    };
    virtual void SupervisorActed(const SupervisorAction&) {}
};

// Hears everything and does nothing.
inline OperatorEvents& NoOperatorEvents()
{
    static OperatorEvents none;
    return none;
}

} // namespace korvel
