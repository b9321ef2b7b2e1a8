#pragma once

#include "client/ConnectionTable.h"
#include "client/Notification.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// Who may steer which camera, and who is told what about it: the chooser
// slot, each camera's holder, holder priority and hold deadline, the camera
// each operator connection works with (kept in the connection table), and
// the control notices. It does no I/O and reads no clock: the operator
// service feeds it events (with the time where it matters) and carries out
// what it returns. Connections are those of the ConnectionTable, by id.
//
//   - The priority test: a command is admitted when nobody holds its camera,
//     its sender holds it, or its sender's priority is greater than the
//     holder's (Command).
//   - A command whose write to the camera has completed makes its sender the
//     holder until the camera's lock time after its last such command; the
//     camera's watchers are told: the holder "#0000F0 You have control", the
//     others "#F00000 <holder's user> has control" (CommandDelivered). A
//     holder that is no longer registered when a write completes is
//     announced with an empty name, and the hold stands.
//   - A hold is not tied to its session: it lasts its time also when the
//     session ends. Once its deadline has passed it lapses and the watchers
//     are told "#0000F0 " (HoldDeadlinePassed, the one place where a hold
//     lapses).
//   - Holds and the chooser slot belong to a session's key (SessionKey): its
//     number for a connection started without RequireLogin, so that a later
//     connection with the number is the holder; the connection itself for
//     one started while logins were required, so that a later connection
//     with its number (from another address, or after it has gone) is not
//     the holder, is tested with its own priority, and leaves the
//     holder's notices with the holder. Such a connection's command for
//     another camera selects that camera for the connection itself.
//   - A supervisor's reservation (Reserve) gives the camera to the sessions
//     logged in as its user, or to nobody: while it stands only they pass
//     the priority test (among themselves as ever), and a hold by anyone
//     else ends at once, as a lapse ends it but told instead, like the
//     camera's other watchers, what the reservation is: the user's own
//     sessions "#0000F0 Reserved for you", the others "#F00000 Reserved for
//     <user>", or everybody "#F00000 Out of service". A connection that
//     comes to work with the camera is told it after its CAMERA message.
//     While one supervisor's reservation stands another's is refused. It
//     ends when its time is up (ReservationDeadlinePassed), by Unreserve, or
//     with the hold by Release: a hold then goes on as an ordinary hold,
//     and with none the watchers are told "#0000F0 ".
//   - A command for a camera other than the sender's own makes it the
//     sender's camera: the sender is sent the camera's CAMERA message ("1"),
//     whoever was in choose mode. A fired soft trigger hands its camera to
//     the session in choose mode ("0", Select). One chooser slot for the
//     whole service; a session that ends keeps it until CANCEL with its
//     number or a command for another camera.
//
// Cameras are known by their slot (CameraIndex). A removed camera's slot is
// given to a camera added later, once nothing can name the removed one any
// more: its hold has ended, its connections work with no camera, and its
// write completions die with the camera itself. Where two present cameras
// have one Pelco address, the one added first is addressed.
class Arbitration
{
public:
    using Clock = std::chrono::steady_clock;
    using SessionNumber = korvel::SessionNumber;
    using SessionKey = korvel::SessionKey;
    using Priority = korvel::Priority;
    using CameraIndex = korvel::CameraIndex;
    using ConnectionId = korvel::ConnectionId;
    static constexpr CameraIndex NoCamera = korvel::NoCamera;
    static constexpr ConnectionId NoConnection = korvel::NoConnection;

    struct Camera
    {
        std::string address;
        std::uint32_t pelcoNumber = 1;
        std::chrono::milliseconds lockTime{0};
    };

    // A supervisor's reservation of a camera.
    struct Reservation
    {
        std::optional<std::string> forUser; // none: nobody steers the camera
        std::string by;                     // the supervisor
        Clock::time_point until{};
    };

    // The CAMERA message for one connection, which now works with the camera.
    struct Selection
    {
        ConnectionId to = NoConnection;
        Notification text;
        Notification reservation; // the camera's reservation notice after it, if reserved
    };

    // What the watchers of a camera are told: the holder one text, the
    // others the other. The texts live as long as the core and the table.
    struct Announcement
    {
        CameraIndex camera = NoCamera;
        SessionKey holder = 0; // 0 for a lapse: everybody gets toOthers
        const Notification* toHolder = nullptr;
        const Notification* toOthers = nullptr;
        // Set: toHolder goes to the watchers logged in as this user instead.
        const std::string* ownUser = nullptr;
    };

    // A hold that ended: its last holder, and what the watchers are told.
    struct Release
    {
        SessionKey holder = 0;
        Priority priority = -1;
        Announcement notices;
    };

    // A camera that was removed: who held it (0: nobody), and its watchers,
    // each told `notice` ("#0000F0 ").
    struct Removal
    {
        SessionKey holder = 0;
        Priority priority = -1;
        std::vector<ConnectionId> told;
        const Notification* notice = nullptr;
        std::optional<Reservation> reservation; // the one that ended with the camera
    };

    // A reservation that was asked for.
    struct Reserved
    {
        bool conflict = false; // another supervisor's stands: nothing changed
        std::string reason;
        std::optional<Release> ended; // the hold that the reservation ended
        Announcement notices;
    };

    // A reservation that ended, and what the watchers are told (nothing when
    // the camera is held).
    struct Unreserved
    {
        CameraIndex camera = NoCamera;
        Reservation reservation;
        std::optional<Announcement> notices;
    };

    // Release: the hold and the reservation that ended, and the lapse notice.
    struct Freed
    {
        std::optional<Release> hold;
        std::optional<Reservation> reservation;
        Announcement notices;
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
        SessionKey sender = 0; // the tag its camera hands back
        // Refused: the holder that refused it.
        SessionKey holder = 0;
        Priority holderPriority = -1;
        // Sent before anything else happens to the command.
        std::optional<Selection> selection;
    };

    // A delivered command: the notices, and who held the camera before.
    struct Delivery
    {
        Announcement notices;
        SessionKey previousHolder = 0; // 0: nobody
        Priority previousPriority = -1;
    };

    // The cameras in table order (ascending address), each added.
    Arbitration(ConnectionTable& connections, std::vector<Camera> cameras);
    Arbitration(const Arbitration&) = delete;
    Arbitration& operator=(const Arbitration&) = delete;

    // Cameras.
    // A camera in the first free slot, or one of its own after the others; its Pelco
    // address counts unless a camera added earlier has it. It keeps the
    // NVR's name that a camera removed from the same address had.
    CameraIndex AddCamera(Camera camera);
    // The camera's hold ends and its watchers are told so; from now on they
    // work with no camera, and its Pelco address and Address name none (or
    // the camera that had them too).
    Removal RemoveCamera(CameraIndex camera);
    bool Present(CameraIndex camera) const
    {
        return camera < cameras.size() && cameras[camera].present;
    }
    // How long a delivered command holds its camera, for every camera, from
    // the next delivered command on.
    void SetLockTime(std::chrono::milliseconds lockTime);
    // The camera a Pelco address names, NoCamera when none.
    CameraIndex CameraByPelco(unsigned pelcoAddress) const;
    // A present camera with that Address, NoCamera when none.
    CameraIndex CameraByAddress(const std::string& address) const;
    const std::string& Address(CameraIndex camera) const { return cameras[camera].address; }
    // The NVR's name for the camera, sent with its CAMERA message.
    void SetNvrName(CameraIndex camera, const std::string& name);
    const std::string& NvrName(CameraIndex camera) const { return cameras[camera].nvrName; }
    // The slots, free ones included.
    std::size_t CameraCount() const { return cameras.size(); }
    std::size_t CamerasPresent() const { return cameras.size() - freeSlots.size(); }
    std::uint32_t PelcoNumber(CameraIndex camera) const { return cameras[camera].pelcoNumber; }
    // Commands the priority test refused since the camera was added.
    std::uint64_t RefusedCommands(CameraIndex camera) const { return cameras[camera].refused; }

    // The connection's user may steer no more: the holds it has (as the
    // connection that has its key) end now, as a lapse ends them, and it
    // leaves choose mode. Holds its key kept from a connection that had
    // ended before lapse in their time.
    std::vector<Release> Revoke(ConnectionId connection);

    // Reservations.
    Reserved Reserve(CameraIndex camera, Reservation reservation);
    std::optional<Unreserved> Unreserve(CameraIndex camera);
    // The camera's hold ends now, and its reservation with it; its watchers
    // are told "#0000F0 " (also when neither was there).
    Freed ReleaseCamera(CameraIndex camera);
    // Ends every reservation whose time is up by now.
    std::vector<Unreserved> ReservationDeadlinePassed(Clock::time_point now);
    std::optional<Clock::time_point> NextReservationDeadline() const;
    const std::optional<Reservation>& ReservationOf(CameraIndex camera) const
    {
        return cameras[camera].reservation;
    }
    // A reservation carried over a reload that built the camera again; its
    // watchers are none yet, so nobody is told.
    void Restore(CameraIndex camera, Reservation reservation);
    // How long a delivered command holds this camera, from the next on.
    void SetLockTime(CameraIndex camera, std::chrono::milliseconds lockTime)
    {
        cameras[camera].lockTime = lockTime;
    }
    // Neither held nor reserved.
    bool Free(CameraIndex camera) const
    {
        return cameras[camera].holder == 0 && !cameras[camera].reservation;
    }

    // Choose mode, by the session's key.
    void Choose(SessionKey key);
    void Cancel(SessionKey key);
    SessionKey ChooserSlot() const { return chooserSlot; }
    // Hands the camera to the session in choose mode, if a live connection
    // has its key.
    std::optional<Selection> Select(CameraIndex camera, bool causedByCommand);

    // A camera command from the connection (priority as it stands now).
    CommandDecision Command(ConnectionId from, Priority priority, unsigned pelcoAddress);

    // A command's write completed: its sender holds the camera until the
    // camera's lock time from now.
    Delivery CommandDelivered(CameraIndex camera, SessionKey sender, Priority priority,
                              Clock::time_point now);
    // Ends every hold whose deadline is not after now.
    std::vector<Release> HoldDeadlinePassed(Clock::time_point now);
    // The earliest deadline of the holds that last, if any does.
    std::optional<Clock::time_point> NextHoldDeadline() const;
    Clock::time_point HoldDeadline(CameraIndex camera) const { return cameras[camera].deadline; }
    SessionKey Holder(CameraIndex camera) const { return cameras[camera].holder; }
    Priority HolderPriority(CameraIndex camera) const { return cameras[camera].holderPriority; }

private:
    struct CameraState : Camera
    {
        CameraState() = default;
        explicit CameraState(Camera camera) : Camera(std::move(camera)) {}
        bool present = false;
        std::uint64_t added = 0; // order of adding: the first of a Pelco address counts
        std::string nvrName;
        SessionKey holder = 0;
        Priority holderPriority = -1;
        Clock::time_point deadline{};
        std::uint64_t refused = 0;
        std::optional<Reservation> reservation;
        Notification reservedForOthers; // "Reserved for <user>" or "Out of service"
    };

    void FilePelcoAddress(unsigned pelcoAddress);
    bool Admits(CameraIndex camera, SessionKey sender, Priority priority,
                const std::string& user) const;
    // The reservation notice for a connection of that user.
    Notification ReservationNotice(CameraIndex camera, const std::string& user) const;
    Announcement ReservationAnnouncement(CameraIndex camera) const;
    Announcement ControlAnnouncement(CameraIndex camera, SessionKey holder) const;
    Announcement ReleaseAnnouncement(CameraIndex camera) const;
    Release EndHold(CameraIndex camera);

    ConnectionTable& connections;
    std::vector<CameraState> cameras;
    std::vector<CameraIndex> freeSlots;
    std::uint64_t camerasAdded = 0;
    std::vector<CameraIndex> cameraByPelco;
    std::map<std::string, CameraIndex> cameraByAddress; // the present cameras
    // The NVR's names of removed cameras by Address, for a camera added there again.
    std::map<std::string, std::string> removedNvrNames;
    SessionKey chooserSlot = 0;
    Notification youHaveControl;
    Notification controlLapsed;
    Notification reservedForYou;
    Notification outOfService;
};

} // namespace korvel
