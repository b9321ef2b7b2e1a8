#pragma once

#include "client/Notification.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

// Who may steer which camera, and who is told what about it: the chooser
// slot, the camera each operator connection works with, each camera's
// holder, holder priority and hold deadline, and the control notices. It
// does no I/O and reads no clock: the operator service feeds it events (with
// the time where it matters) and carries out what it returns.
//
// Sessions are known by their number (the client's source port); a later
// connection with the number of a live one takes the number over: from then
// on notices for that number go to it, and the earlier connection only keeps
// steering the camera it was working with. Each connection therefore has a
// ConnectionId of its own, given by Connect.
//
// Holds: a command whose write to the camera has completed makes its sender
// the holder until the camera's lock time after its last such command. A
// hold is not tied to its session: it lasts its time also when the session
// ends. A holder that is no longer registered when a write completes is
// announced with an empty name, and the hold stands.
//
// Cameras are known by their index, the slot each got when it was added (at
// construction in table order, later at the end). A reload may remove a
// camera and add others: a removed camera's slot stays, empty, and is never
// given to another camera, so that an index still held anywhere (a write
// completion on its way, a connection's camera) never names another one.
class Arbitration
{
public:
    using Clock = std::chrono::steady_clock;
    using SessionNumber = std::uint16_t; // 0: nobody
    using Priority = std::int32_t;       // larger wins; -1 for an unheld camera
    using CameraIndex = std::size_t;     // position in the camera table
    using ConnectionId = std::size_t;
    static constexpr CameraIndex NoCamera = static_cast<CameraIndex>(-1);
    static constexpr ConnectionId NoConnection = static_cast<ConnectionId>(-1);

    struct Camera
    {
        std::string address;
        std::uint32_t pelcoNumber = 1;
        std::chrono::milliseconds lockTime{0};
    };

    // The CAMERA message for one connection, which now works with the camera.
    struct Selection
    {
        ConnectionId to = NoConnection;
        Notification text;
    };

    // What the connections working with a camera are told: the holder one
    // text, the others the other. The texts live as long as the core.
    struct Announcement
    {
        CameraIndex camera = NoCamera;
        SessionNumber holder = 0; // 0 for a lapse: everybody gets toOthers
        const Notification* toHolder = nullptr;
        const Notification* toOthers = nullptr;
    };

    // A hold that lapsed: its last holder, and what the connections working
    // with the camera are told.
    struct Release
    {
        SessionNumber holder = 0;
        Priority priority = -1;
        Announcement notices;
    };

    // A camera that was removed: who held it (0: nobody), and the
    // connections that worked with it, each told `notice` ("#0000F0 ").
    struct Removal
    {
        SessionNumber holder = 0;
        Priority priority = -1;
        std::vector<ConnectionId> told;
        const Notification* notice = nullptr;
    };

    struct CommandDecision
    {
        enum class Verdict
        {
            UnknownCamera,  // no camera has the Pelco address: logged, nothing else
            Refused,        // the priority test failed: silently dropped
            NothingToSteer, // the number went to a later connection before this one chose
            Forward,        // write the bytes to `camera`
        };
        Verdict verdict = Verdict::UnknownCamera;
        CameraIndex camera = NoCamera;
        // Sent before anything else happens to the command.
        std::optional<Selection> selection;
    };

    // The cameras in table order (ascending address), each added.
    explicit Arbitration(std::vector<Camera> cameras);
    Arbitration(const Arbitration&) = delete;
    Arbitration& operator=(const Arbitration&) = delete;

    // Cameras.
    // A camera in a slot of its own after the others; its Pelco address
    // counts unless a camera added earlier has it. It keeps the NVR's name
    // that a camera removed from the same address had.
    CameraIndex AddCamera(Camera camera);
    // The camera's hold ends and the connections working with it are told
    // so; from now on they work with no camera, and its Pelco address and
    // Address name none (or the camera that had them too).
    Removal RemoveCamera(CameraIndex camera);
    bool Present(CameraIndex camera) const { return cameras[camera].present; }
    // How long a delivered command holds its camera, for every camera, from
    // the next delivered command on.
    void SetLockTime(std::chrono::milliseconds lockTime);
    // A present camera with that Address, NoCamera when none.
    CameraIndex CameraByAddress(const std::string& address) const;
    const std::string& Address(CameraIndex camera) const { return cameras[camera].address; }
    // The NVR's name for the camera, sent with its CAMERA message.
    void SetNvrName(CameraIndex camera, const std::string& name);
    const std::string& NvrName(CameraIndex camera) const { return cameras[camera].nvrName; }
    // The slots, removed cameras' included.
    std::size_t CameraCount() const { return cameras.size(); }
    std::uint32_t PelcoNumber(CameraIndex camera) const { return cameras[camera].pelcoNumber; }

    // Connections.
    ConnectionId Connect(SessionNumber number);
    // The name that "has control" shows for the connection from now on.
    void LogIn(ConnectionId connection, const std::string& userName);
    void Disconnect(ConnectionId connection);
    // The connection's user may steer no more: the holds it has (as the
    // connection registered under its number) end now, as a lapse ends
    // them, and it leaves choose mode. Holds its number kept from a
    // connection that had ended before lapse in their time.
    std::vector<Release> Revoke(ConnectionId connection);
    // The connection that has the number, NoConnection when none has.
    ConnectionId Registered(SessionNumber number) const;
    SessionNumber Number(ConnectionId connection) const { return connections[connection].number; }
    // The user the connection last logged in as; empty when it never did.
    const std::string& UserName(ConnectionId connection) const
    {
        return connections[connection].hasControl->first;
    }
    CameraIndex CurrentCamera(ConnectionId connection) const;
    // The registered connections working with the camera, by session number.
    const std::map<SessionNumber, ConnectionId>& Watchers(CameraIndex camera) const
    {
        return cameras[camera].watchers;
    }

    // Choose mode: one slot for the whole service. A session that ends keeps
    // it until CANCEL with its number or a command for another camera.
    void Choose(SessionNumber number);
    void Cancel(SessionNumber number);
    SessionNumber ChooserSlot() const { return chooserSlot; }
    // Hands the camera to the session in choose mode, if it is registered.
    std::optional<Selection> Select(CameraIndex camera, bool causedByCommand);

    // A camera command from the connection (priority as it stands now).
    CommandDecision Command(ConnectionId from, Priority priority, unsigned pelcoAddress);

    // A command's write completed: its sender holds the camera until the
    // camera's lock time from now.
    Announcement CommandDelivered(CameraIndex camera, SessionNumber sender, Priority priority,
                                  Clock::time_point now);
    // Ends every hold whose deadline is not after now: the one place where a
    // hold lapses.
    std::vector<Release> HoldDeadlinePassed(Clock::time_point now);
    // The earliest deadline of the holds that last, if any does.
    std::optional<Clock::time_point> NextHoldDeadline() const;
    Clock::time_point HoldDeadline(CameraIndex camera) const { return cameras[camera].deadline; }
    SessionNumber Holder(CameraIndex camera) const { return cameras[camera].holder; }
    Priority HolderPriority(CameraIndex camera) const { return cameras[camera].holderPriority; }

private:
    struct CameraState : Camera
    {
        explicit CameraState(Camera camera) : Camera(std::move(camera)) {}
        bool present = true;
        std::string nvrName;
        SessionNumber holder = 0;
        Priority holderPriority = -1;
        Clock::time_point deadline{};
        std::map<SessionNumber, ConnectionId> watchers;
    };
    struct Connection
    {
        SessionNumber number = 0;
        CameraIndex camera = NoCamera;
        // The user name and its "<name> has control".
        const std::pair<const std::string, Notification>* hasControl = nullptr;
        bool live = false;
    };

    // The first present camera in slot order for each Pelco address counts.
    CameraIndex CameraByPelco(unsigned pelcoAddress) const;
    void FilePelcoAddress(unsigned pelcoAddress);
    // The priority test: nobody holds the camera, the sender holds it, or
    // the sender's priority is greater than the holder's.
    bool Admits(CameraIndex camera, SessionNumber sender, Priority priority) const;
    Announcement ControlAnnouncement(CameraIndex camera, SessionNumber holder) const;
    Announcement ReleaseAnnouncement(CameraIndex camera) const;
    void Watch(ConnectionId connection, CameraIndex camera);
    void Unwatch(ConnectionId connection);
    const std::pair<const std::string, Notification>& HasControlText(const std::string& userName);

    std::vector<CameraState> cameras;
    std::vector<CameraIndex> cameraByPelco;
    std::map<std::string, CameraIndex> cameraByAddress; // the present cameras
    std::vector<Connection> connections;
    std::vector<ConnectionId> freeConnections;
    std::map<SessionNumber, ConnectionId> registered;
    SessionNumber chooserSlot = 0;
    // Made once per user name: a stream of commands announces without
    // composing a text each time.
    std::map<std::string, Notification> hasControlTexts;
    const std::pair<const std::string, Notification>* anonymousHasControl = nullptr;
    Notification youHaveControl;
    Notification controlLapsed;
};

} // namespace korvel
