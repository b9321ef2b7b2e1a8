#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// What the operations view shows at one moment: a plain value gathered on the
// I/O loop from the objects that own each part (the arbitration, the camera
// links, the NVR reports posted to the loop), then rendered as JSON,
// Prometheus text or not at all. Nothing in it is a password or a token.

struct HolderStatus
{
    std::uint16_t session = 0;
    std::optional<std::string> user; // none when the session is gone or never logged in
    std::int32_t priority = 0;
    std::int64_t holdLeftMs = 0;
};

// A supervisor's reservation of a camera.
struct ReservationStatus
{
    std::optional<std::string> forUser; // none: out of service
    std::string by;
    std::int64_t leftMs = 0;
};

struct CameraStatus
{
    std::uint32_t pelco = 1;
    std::string address;
    std::string port; // TCP port, or the serial device
    bool serial = false;
    std::string link; // "connected", "connecting", "waiting", "no-transport", "open", "failed"
    bool linkUp = false;
    std::optional<std::uint32_t> nvrCameraId;
    std::optional<std::string> nvrCameraName;
    std::optional<HolderStatus> holder;
    std::optional<ReservationStatus> reservation;
    std::string patrol = "off"; // "off" (no tour), "waiting" or "patrolling"

    // Operator commands for this camera's Pelco number by outcome, since the
    // start (also those of cameras that had the number before it, which a
    // reload removed or changed): written to it, refused by the priority
    // test, dropped (no transport, a full queue, left waiting when a new
    // socket replaced its own, or when a reload removed the camera), failed
    // (the write failed).
    std::uint64_t forwarded = 0;
    std::uint64_t refused = 0;
    std::uint64_t dropped = 0;
    std::uint64_t failed = 0;
};

struct SessionStatus
{
    std::uint16_t session = 0;
    std::string client;
    std::optional<std::string> user;
    std::int32_t priority = 0;
    std::optional<std::uint32_t> camera; // Pelco number
    bool choosing = false;
};

struct NvrStatus
{
    std::string address;
    // "connecting", "logged-in", "retrying", "login-refused", "stopped"
    std::string state = "connecting";
    std::uint32_t cameras = 0;
    std::uint32_t softTriggers = 0;
    std::uint64_t loginsOk = 0;
    std::uint64_t loginsRefused = 0;
    std::uint64_t loginsFailed = 0; // the NVR could not be reached or did not answer
    std::uint64_t handovers = 0;
};

// Counters of the operator service that belong to no camera.
struct OperatorCounters
{
    std::uint64_t sessionsAccepted = 0;
    std::uint64_t loginsOk = 0;
    std::uint64_t loginsFailed = 0;
    std::uint64_t unknownCamera = 0;
    std::uint64_t noticesSent = 0;
    // Failed LOGINs whose FAILURE the failed-login throttle held back.
    std::uint64_t loginsThrottled = 0;
    // Connections closed at once, ungreeted, because the session cap was reached.
    std::uint64_t sessionsRefused = 0;
    // Connections that had not logged in, closed to make room at the cap.
    std::uint64_t sessionsEvicted = 0;
    // Lines one client address may have logged only so often, not logged.
    std::uint64_t unknownCameraLinesSkipped = 0;
    std::uint64_t ignoredCommandLinesSkipped = 0;
    // What the service wrote to cameras of its own accord, by kind.
    std::uint64_t serviceStops = 0;
    std::uint64_t serviceHomes = 0;
    std::uint64_t servicePatrols = 0;
};

// Where the audit trail's records went: into the file, dropped from a full
// queue (the oldest first), or not written (no file could be opened or
// written, or the path is not a regular file).
struct AuditCounts
{
    std::uint64_t written = 0;
    std::uint64_t dropped = 0;
    std::uint64_t failed = 0;
};

// How the last reload went.
struct ReloadStatus
{
    std::chrono::system_clock::time_point ended;
    std::string result;  // "applied", "partial" (a listener kept where it was) or "refused"
    std::string summary; // the log's closing line of the reload
};

// The configuration in use and the reloads so far.
struct ConfigurationStatus
{
    // When the configuration in use was read (at start, or by the last
    // reload that applied a new one, also in part), and how many reads that
    // makes: 1 at start, one more for each reload applied, also in part.
    std::chrono::system_clock::time_point loaded;
    std::uint64_t generation = 1;
    std::uint64_t reloadsApplied = 0;
    std::uint64_t reloadsRefused = 0;
    // Applied but for a listener that could not be opened where the file
    // says (the old one kept, or none started).
    std::uint64_t reloadsPartial = 0;
    std::optional<ReloadStatus> lastReload; // none before the first reload
};

// The commands for a Pelco number that no camera has now, counted while
// cameras had it (a reload removed them); those still waiting for a camera
// when it went are dropped.
struct RemovedCameraCommands
{
    std::uint32_t pelco = 0;
    std::uint64_t forwarded = 0;
    std::uint64_t refused = 0;
    std::uint64_t dropped = 0;
    std::uint64_t failed = 0;
};

struct StatusSnapshot
{
    std::string version;
    std::chrono::system_clock::time_point started;
    std::int64_t uptimeSeconds = 0;
    ConfigurationStatus configuration;
    // Where the operator port listens ("127.0.0.1:55272"); empty for nowhere.
    std::string operatorListener;
    std::vector<CameraStatus> cameras;                 // in Pelco order
    std::vector<RemovedCameraCommands> removedCameras; // in Pelco order
    std::vector<SessionStatus> sessions;
    std::vector<NvrStatus> nvrs;
    OperatorCounters counters;
    std::optional<AuditCounts> audit; // none without an audit trail
};

} // namespace korvel
