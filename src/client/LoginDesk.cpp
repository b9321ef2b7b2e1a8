#include "client/LoginDesk.h"

#include "log/LogText.h"

namespace korvel {

LoginDesk::LoginDesk(const UserTable& users, const SessionPolicy& policy)
    : users(users), policy(policy)
{}

std::optional<TimeSource::TimePoint> LoginDesk::LoginDeadline(TimeSource::TimePoint now) const
{
    if (!policy.requireLogin)
        return std::nullopt;
    return now + policy.loginTimeout;
}

LoginDesk::Verdict LoginDesk::Login(const OperatorConnection& from, const std::string& name,
                                    const std::string& password, TimeSource::TimePoint now)
{
    const auto user = users.find(name);
    if (user == users.end()) {
        if (!directory.Enabled())
            return Failed(from, name, false, now);
        Verdict check;
        check.kind = Verdict::Kind::Check;
        check.check = Verdict::Check{Verdict::Check::Kind::Directory, {}, directory.service};
        return check;
    }
    const UserAccount& account = user->second;
    if (!account.passwordHash.empty()) {
        Verdict check;
        check.kind = Verdict::Kind::Check;
        check.knownName = true;
        check.check = Verdict::Check{Verdict::Check::Kind::Hash, account.passwordHash, {}};
        return check;
    }
    if (!account.password.empty() && account.password != password)
        return Failed(from, name, true, now);
    return PassedAs(from, name, account.priority);
}

LoginDesk::Verdict LoginDesk::Checked(const OperatorConnection& from, const std::string& name,
                                      const Verdict::Check& check, const CheckResult& result,
                                      TimeSource::TimePoint now)
{
    std::string notice;
    Verdict verdict;
    const bool directoryCheck = check.kind == Verdict::Check::Kind::Directory;
    auto failed = [&] {
        verdict = Failed(from, name, !directoryCheck, now);
        verdict.notice = notice;
        return verdict;
    };
    auto reason = [&](const std::string& text) {
        notice = directoryCheck ? NoticeOnce("Directory accounts (service " + check.service +
                                             "): " + text)
                                : NoticeOnce("Password hashes: " + text);
    };
    switch (result.kind) {
    case CheckResult::Kind::TimedOut:
        reason("no answer within " + std::to_string(CheckDeadline.count()) + " s");
        return failed();
    case CheckResult::Kind::Busy:
        reason("too many logins waiting for a check");
        return failed();
    case CheckResult::Kind::HashDiffers:
        return failed();
    case CheckResult::Kind::HashMatched: {
        // Checked against the hash the user had then; a reload since may
        // have removed the user or changed the hash.
        const auto user = users.find(name);
        if (user == users.end() || user->second.passwordHash != check.hash)
            return failed();
        return PassedAs(from, name, user->second.priority);
    }
    case CheckResult::Kind::Directory:
        break;
    }
    if (result.answer.outcome != DirectoryAnswer::Outcome::Passed) {
        reason(result.answer.reason);
        return failed();
    }
    // The groups as configured now.
    const DirectoryGroup* best = nullptr;
    bool supervisor = false;
    for (const DirectoryGroup& group : directory.groups) {
        for (const std::string& member : result.answer.groups) {
            if (member != group.name)
                continue;
            if (!best || group.priority > best->priority)
                best = &group;
            supervisor = supervisor || group.supervisor;
        }
    }
    if (!best || !directory.Enabled()) {
        reason("an account in none of the configured groups");
        return failed();
    }
    verdict = PassedAs(from, name, best->priority);
    verdict.supervisor = supervisor;
    return verdict;
}

LoginDesk::Verdict LoginDesk::Failed(const OperatorConnection& from, const std::string& name,
                                     bool knownName, TimeSource::TimePoint now)
{
    if (policy.throttleLogins) {
        if (const auto due = throttle.Failed(from.clientAddress, knownName ? name : std::string(),
                                             now)) {
            Verdict held;
            held.kind = Verdict::Kind::HeldBack;
            held.due = due;
            held.knownName = knownName;
            return held;
        }
    }
    return Refused(from, name);
}

LoginDesk::Verdict LoginDesk::PassedAs(const OperatorConnection& from, const std::string& name,
                                       Priority priority)
{
    throttle.Passed(from.clientAddress, name);
    Verdict passed;
    passed.kind = Verdict::Kind::Passed;
    passed.priority = priority;
    passed.knownName = true;
    passed.logLine = "Login from " + from.clientAddress + " by user " + LogSafe(name) +
                     " with priority " + std::to_string(passed.priority);
    return passed;
}

std::string LoginDesk::NoticeOnce(std::string line)
{
    line = LogSafe(line);
    if (!noticed.insert(line).second)
        return {};
    return line + " (logged once)";
}

LoginDesk::Verdict LoginDesk::Refused(const OperatorConnection& from, const std::string& name) const
{
    return Refused(from.clientAddress, name, false);
}

LoginDesk::Verdict LoginDesk::Refused(const std::string& clientAddress, const std::string& name,
                                      bool supervisor) const
{
    Verdict refused;
    refused.knownName = users.count(name) > 0;
    refused.logLine = std::string(supervisor ? "Failed supervisor login" : "Failed login") +
                      " from " + clientAddress + " by user " + LogSafe(name);
    return refused;
}

LoginDesk::Verdict LoginDesk::SupervisorLogin(const std::string& clientAddress,
                                              const std::string& name,
                                              const std::string& password,
                                              TimeSource::TimePoint now)
{
    // Answered on the loop at once: a supervisor is a configured user whose
    // password stands in the file. A hash is checked off the loop only for
    // the operator port's LOGIN, so a supervisor with a PasswordHash (or a
    // directory account) does not pass here.
    const auto user = users.find(name);
    const bool known = user != users.end();
    if (!known || !user->second.supervisor || !user->second.passwordHash.empty() ||
        (!user->second.password.empty() && user->second.password != password)) {
        if (policy.throttleLogins) {
            if (const auto due = throttle.Failed(clientAddress, known ? name : std::string(), now)) {
                Verdict held;
                held.kind = Verdict::Kind::HeldBack;
                held.due = due;
                held.knownName = known;
                return held;
            }
        }
        return Refused(clientAddress, name, true);
    }
    throttle.Passed(clientAddress, name);
    Verdict passed;
    passed.kind = Verdict::Kind::Passed;
    passed.priority = user->second.priority;
    passed.knownName = true;
    passed.logLine = "Supervisor login from " + clientAddress + " by user " + LogSafe(name);
    return passed;
}

LoginDesk::Gate LoginDesk::Admits(const OperatorConnection& from) const
{
    Gate gate;
    if (!from.loginRequired || from.LoggedIn())
        return gate;
    gate.ignored = true;
    if (!from.ignoredCommandLogged)
        gate.logLine = "Ignoring commands from session " + std::to_string(from.number) + " at " +
                       from.clientAddress + " until it logs in";
    return gate;
}

} // namespace korvel
