#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// One entry of the control audit trail. Which fields an event carries:
//   login                 user, priority, session, client
//   login-failed          user (see FailedLoginUser), session, client
//   control               camera, session, user, priority; previous_* when
//                         the command took the camera from another session
//   release               camera, session, user, priority of the lapsed hold
//   refused               camera, session, user, priority; holder_*
//   handover              camera, session, user
//   session-end           session, user, client
//   reload                result, summary (no session, no user)
//   stop                  camera (the service's own write; no session)
//   home, patrol          camera, preset
//   supervisor-login      supervisor, client, result ("ok", "failed")
//   supervisor-release    supervisor, camera, result ("ok", "not-found")
//   supervisor-reserve    supervisor, camera, reserved_for (null: nobody),
//                         minutes, result ("ok", "not-found", "conflict")
//   supervisor-unreserve  supervisor, camera, result
//   supervisor-end        supervisor, session, user (of the session ended), result
//   reservation-lapse     supervisor (who reserved), camera, reserved_for,
//                         result ("ok": its time ran out; "removed": its camera went)
// A user is null for a session that never logged in. Never a password.
struct AuditRecord
{
    std::string event;
    std::optional<std::uint32_t> camera; // Pelco number
    // With the session its user is written too; a record of no session
    // (reload) has neither.
    std::optional<std::uint16_t> session = 0;
    std::optional<std::string> user;
    // The user is the start of what was sent (login-failed only).
    bool userCut = false;
    std::optional<std::int32_t> priority;
    std::optional<std::string> client;
    // The other session: the one taken over (control) or holding (refused).
    std::optional<std::uint16_t> otherSession;
    std::optional<std::string> otherUser;
    std::optional<std::int32_t> otherPriority;
    // A reload's: "applied", "partial" or "refused", and the summary the log ends it with.
    std::optional<std::string> result;
    std::optional<std::string> summary;
    // The supervisor who acted, and what a reservation was.
    std::optional<std::string> supervisor;
    bool reservation = false; // reserved_for is written (null: for nobody)
    std::optional<std::string> reservedFor;
    std::optional<std::uint32_t> minutes;
    std::optional<std::uint32_t> preset;
};

// Sets what a failed login records of the name sent: a configured user's
// name whole; any other name only up to its first blank or control
// character, with userCut when something was left out. A client that
// separates name and password with a tab sends both as the name, and the
// password must not reach the trail.
void SetFailedLoginUser(AuditRecord& record, const std::string& name, bool configured);

// The record as one line of JSON with its UTC time in milliseconds, ending
// in a line feed. The other session's fields are named previous_* for
// control and holder_* otherwise.
std::string FormatAuditLine(const AuditRecord& record, std::chrono::system_clock::time_point when);

} // namespace korvel
