#pragma once

#include "client/ConnectionTable.h"
#include "client/LoginThrottle.h"
#include "clock/TimeSource.h"
#include "config/Settings.h"

#include <optional>
#include <string>

namespace korvel {

// The rules of logging in, for the session registry; no I/O, the time
// passed in.
//
//   - A LOGIN passes when a user has the name and either has no password or
//     the one sent: "Login from <address> by user <name> with priority <p>".
//     Otherwise it fails: "Failed login from <address> by user <name>", and
//     the FAILURE goes at once, unless the throttle holds it back (a client
//     address that keeps failing for the name, or for names no user has:
//     LoginThrottle), when the line and the FAILURE come once it is due
//     (Refused).
//   - With RequireLogin, a connection that has not logged in may send only
//     LOGIN: anything else is ignored, and logged once per connection
//     ("Ignoring commands from session <number> at <address> until it logs
//     in"); and it has LoginTimeout from its greeting to log in. A connection
//     keeps the rule it started with.
class LoginDesk
{
public:
    LoginDesk(const UserTable& users, const SessionPolicy& policy);

    // From the next connection (RequireLogin) or LOGIN (LoginThrottle) on.
    void SetPolicy(const SessionPolicy& next) { policy = next; }
    bool LoginRequired() const { return policy.requireLogin; }
    // When a connection greeted at `now` must have logged in; none when
    // logins are not required.
    std::optional<TimeSource::TimePoint> LoginDeadline(TimeSource::TimePoint now) const;

    struct Verdict
    {
        enum class Kind
        {
            Passed,
            Refused,  // answered now
            HeldBack, // answered at `due` (Refused then)
        };
        Kind kind = Kind::Refused;
        Priority priority = 0; // Passed
        std::optional<TimeSource::TimePoint> due;
        bool knownName = false;
        std::string logLine; // Passed and Refused
    };
    Verdict Login(const OperatorConnection& from, const std::string& name,
                  const std::string& password, TimeSource::TimePoint now);
    // A held-back refusal is due.
    Verdict Refused(const OperatorConnection& from, const std::string& name) const;
    // A supervisor's login from the client address: as a LOGIN, throttled
    // with them, but passed only for a user marked Supervisor ("Supervisor
    // login from <address> by user <name>", "Failed supervisor login from
    // ..."); no priority.
    Verdict SupervisorLogin(const std::string& clientAddress, const std::string& name,
                            const std::string& password, TimeSource::TimePoint now);
    Verdict Refused(const std::string& clientAddress, const std::string& name,
                    bool supervisor) const;

    struct Gate
    {
        bool ignored = false;
        std::string logLine; // the first time only
    };
    // A message other than LOGIN from the connection.
    Gate Admits(const OperatorConnection& from) const;

private:
    Verdict Check(const std::string& clientAddress, const std::string& name,
                  const std::string& password, TimeSource::TimePoint now, bool supervisor);

    const UserTable& users;
    SessionPolicy policy;
    LoginThrottle throttle;
};

} // namespace korvel
