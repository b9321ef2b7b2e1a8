#pragma once

#include "client/Arbitration.h"

#include <cstddef>
#include <string>

namespace korvel {

class ClientSession;

// What happens on the operator side that the operations view counts and
// records: told by the session registry (ClientServer) and the control
// service (ControlService), heard by OperationsFeed. Cameras by
// Arbitration::CameraIndex, sessions by number. Each does nothing here: a
// service without an operations view is told NoOperatorEvents().
//
// Threads: every call on the I/O loop thread.
class OperatorEvents
{
public:
    using CameraIndex = Arbitration::CameraIndex;
    using SessionNumber = Arbitration::SessionNumber;
    using Priority = Arbitration::Priority;

    virtual ~OperatorEvents() = default;

    // The registry.
    virtual void SessionStarted() {}
    // A connection beyond the session cap was closed at once, ungreeted.
    virtual void SessionRefused() {}
    // A LOGIN was answered: passed or not, with the name as the client sent
    // it; knownName when a user has that name.
    virtual void LoginAnswered(const ClientSession&, const std::string& /*name*/, bool /*passed*/,
                               bool /*knownName*/)
    {}
    // A failed LOGIN's FAILURE is held back.
    virtual void LoginThrottled() {}
    // The session has left the registry.
    virtual void SessionEnded(const ClientSession&) {}

    // The control service.
    virtual void UnknownCamera() {}
    // The priority test refused a command; the camera's holder is as it stands.
    virtual void CommandRefused(CameraIndex, SessionNumber, Priority) {}
    // A command's write completed and its sender takes the camera from the
    // holder as it stands (none, or another session); the arbitration
    // records the new holder right after.
    virtual void ControlTaken(CameraIndex, SessionNumber, Priority) {}
    // The holds that lapsed at one expiry, each with its last holder, before
    // the notices go out.
    virtual void HoldLapsed(CameraIndex, SessionNumber /*holder*/, Priority) {}
    // A fired soft trigger handed the camera to the connection in choose mode.
    virtual void HandedOver(CameraIndex, Arbitration::ConnectionId) {}
    virtual void NoticesSent(std::size_t /*count*/) {}
};

// Hears everything and does nothing.
inline OperatorEvents& NoOperatorEvents()
{
    static OperatorEvents none;
    return none;
}

} // namespace korvel
