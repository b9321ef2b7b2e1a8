#pragma once

#include "client/ConnectionTable.h"
#include "client/LoginThrottle.h"
#include "clock/TimeSource.h"
#include "config/Settings.h"
#include "platform/DirectoryLogin.h"

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvel {

// The rules of logging in, for the session registry; no I/O, the time
// passed in.
//
//   - A LOGIN passes when a user has the name and either has no password or
//     the one sent: "Login from <address> by user <name> with priority <p>".
//     A user with a PasswordHash, and with a Directory a name no user has,
//     need a check that takes long (Check): the registry has it made off the
//     loop and brings its result (Checked), which decides as above. A
//     directory account passes only in one of the Directory's groups, with
//     the highest priority of those it is in (and the supervisor right of
//     any marked so). Each kind of reason a check gives for failing (the
//     system's own text, no answer by the deadline, too many waiting) is
//     logged once a run: "Directory accounts (service <service>): <reason>",
//     "Password hash of user <name> cannot be checked".
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
    // From the next LOGIN on; a check under way answers by the new settings.
    void SetDirectory(const DirectorySettings& next) { directory = next; }
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
            Check,    // the `check` decides (Checked)
        };
        Kind kind = Kind::Refused;
        Priority priority = 0; // Passed
        // Passed as a member of a directory group marked Supervisor.
        bool supervisor = false;
        std::optional<TimeSource::TimePoint> due;
        bool knownName = false;
        std::string logLine; // Passed and Refused
        // Check: what to check the password against.
        struct Check
        {
            enum class Kind
            {
                Hash,      // the user's `hash`
                Directory, // the system's accounts, through `service`
            };
            Kind kind = Kind::Hash;
            std::string hash;
            std::string service;
        };
        std::optional<Check> check;
        // Logged before logLine: a kind of check failure seen the first time.
        std::string notice;
    };
    // What a Check found.
    struct CheckResult
    {
        enum class Kind
        {
            HashMatched,
            HashDiffers,
            Directory, // `answer` says
            TimedOut,  // no answer by the deadline
            Busy,      // too many checks waiting already
        };
        Kind kind = Kind::TimedOut;
        DirectoryAnswer answer;
    };
    Verdict Login(const OperatorConnection& from, const std::string& name,
                  const std::string& password, TimeSource::TimePoint now);
    // A held-back refusal is due.
    Verdict Refused(const OperatorConnection& from, const std::string& name) const;
    // A supervisor's login from the client address: as a LOGIN, throttled
    // with them, but passed only for a user marked Supervisor, or a directory
    // account in a group marked so ("Supervisor login from <address> by user
    // <name>", "Failed supervisor login from ..."); no priority. A
    // PasswordHash or a directory account needs a Check, as for a LOGIN,
    // whose result SupervisorChecked decides.
    Verdict SupervisorLogin(const std::string& clientAddress, const std::string& name,
                            const std::string& password, TimeSource::TimePoint now);
    Verdict SupervisorChecked(const std::string& clientAddress, const std::string& name,
                              const Verdict::Check& check, const CheckResult& result,
                              TimeSource::TimePoint now);
    Verdict Refused(const std::string& clientAddress, const std::string& name,
                    bool supervisor) const;
    // Whether the user may act as a supervisor now: a configured user marked
    // so, or a directory account whose last supervisor login found it in a
    // group still configured as a supervisors' group.
    bool IsSupervisor(const std::string& name) const;

    // The check of the LOGIN of `name` with `check` ended: Passed, Refused or
    // HeldBack.
    Verdict Checked(const OperatorConnection& from, const std::string& name,
                    const Verdict::Check& check, const CheckResult& result,
                    TimeSource::TimePoint now);
    // How long a check may take before the LOGIN fails.
    static constexpr std::chrono::seconds CheckDeadline{10};

    struct Gate
    {
        bool ignored = false;
        std::string logLine; // the first time only
    };
    // A message other than LOGIN from the connection.
    Gate Admits(const OperatorConnection& from) const;

private:
    // A failed LOGIN (or supervisor login): Refused, or HeldBack by the
    // throttle. A name no user has counts for the address alone, also a
    // directory account's.
    Verdict Failed(const std::string& clientAddress, const std::string& name, bool knownName,
                   bool supervisor, TimeSource::TimePoint now);
    // What a check found, by the users and groups configured now.
    struct Evaluation
    {
        bool passed = false;
        Priority priority = 0;
        // The groups marked Supervisor that a directory account is in.
        std::vector<std::string> supervisorGroups;
        bool supervisor = false; // a configured user marked so, or in such a group
        std::string notice;
    };
    Evaluation Evaluate(const std::string& name, const Verdict::Check& check,
                        const CheckResult& result);
    Verdict PassedAs(const OperatorConnection& from, const std::string& name, Priority priority);
    Verdict SupervisorPassed(const std::string& clientAddress, const std::string& name);
    // A Check of the name through the directory, or of the password against a hash.
    Verdict DirectoryCheck() const;
    static Verdict HashCheck(const std::string& hash);
    // The line for the reason the first time it is seen, else empty.
    std::string NoticeOnce(std::string line);

    const UserTable& users;
    SessionPolicy policy;
    DirectorySettings directory;
    LoginThrottle throttle;
    // The check failures logged so far: a handful of kinds (PAM's codes by
    // step), so this stays small.
    std::set<std::string> noticed;
    // The directory accounts that passed a supervisor login, with the
    // supervisors' groups they were in then: one entry per such person.
    std::map<std::string, std::vector<std::string>> directorySupervisors;
};

} // namespace korvel
