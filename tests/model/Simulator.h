#pragma once

// The real operator side and cameras on simulated time and a simulated
// network: the session registry (ClientServer) with its connection table
// and each session's own core (SessionStateMachine), the control service,
// and TrackCameras with their write paths and link state machines. Only the
// transports are the simulator's: each workstation is a SimSession (the
// socket's part of ClientSession, on bytes the run hands it), each camera's
// link a SimLink (NetworkLink's part, on lookups, connects and sockets the
// run answers). Events come from a run (Events.h); after each, Observe says
// what the workstations and cameras saw, and Violations what broke an
// invariant that holds whatever the rules:
//   - a command reaches a camera only on the socket the camera had when the
//     command was sent;
//   - a hold is recorded only on a completed write: the holder sent a
//     command that its camera received when the hold began;
//   - nothing is written to a session after it has ended.
#include "model/Events.h"
#include "model/Observations.h"

#include "camera/CameraTable.h"
#include "client/ConnectionTable.h"
#include "config/Settings.h"
#include "support/SimulatedTime.h"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvel {
class ClientServer;
class ControlService;
} // namespace korvel

namespace korvel::model {

class SimSession;
class SimLink;
class SimSerial;

// What one camera's sockets carried, kept by the simulator for as long as
// the camera is there (its link goes with it).
struct Wire
{
    std::map<std::uint64_t, std::vector<std::uint32_t>> carried;
    std::vector<std::string> lines; // what the link logged
    // By command serial: the socket the camera had when it was sent.
    std::map<std::uint32_t, std::uint64_t> sentOn;
    // Each delivery: when, and the session number that sent it.
    std::map<std::uint32_t, std::uint16_t> senderOf;
    std::multimap<std::int64_t, std::uint16_t> deliveredAt;
    std::vector<std::string>* violations = nullptr;
    std::int64_t now = 0;
    void Carried(std::uint64_t socket, const std::string& bytes);
};

class Simulator
{
public:
    explicit Simulator(const World& world);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The event; an Advance moves the clock through the model's stops.
    void Apply(const Event& event, const std::vector<std::int64_t>& stops);
    Observations Observe();
    // The invariants broken since the last call.
    std::vector<std::string> Violations();

private:
    struct CameraEntry
    {
        int instance = 0;
        std::unique_ptr<Wire> wire;
        SimLink* link = nullptr;
        SimSerial* serial = nullptr;
        TrackCamera* camera = nullptr;
    };

    // The registry, as the sessions see it: it notes the sockets each
    // camera has when a command is handed in.
    class Registry;
    friend class Registry;
    void Handing(const char* bytes, std::size_t count, ConnectionId from);

    void Drain();
    void AddCamera(int slot);
    void RemoveCamera(int slot);
    SimSession* Client(int choice);
    void Send(int choice, const std::string& bytes);

    World world;
    boost::asio::io_context io;
    SimulatedTime time;
    std::int64_t now = 0;
    UserTable users;
    SessionPolicy policy;
    ConnectionTable table;
    CameraTable cameraTable;
    std::unique_ptr<ControlService> control;
    std::unique_ptr<ClientServer> server;
    std::unique_ptr<Registry> registry;
    CameraEntry cameras[CameraSlots];
    std::deque<ClientView> views;
    std::vector<std::shared_ptr<SimSession>> sessions;
    std::uint32_t commandSerials = 0;
    int lockTimeSecs = 0;
    int retryIntervalSecs = 0;
    std::vector<int> lockTimesUsed; // in ms
    bool devicePresent = true;      // the serial camera's
    std::vector<std::string> violations;
};

} // namespace korvel::model
