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

LoginDesk::Verdict LoginDesk::DirectoryCheck() const
{
    Verdict check;
    check.kind = Verdict::Kind::Check;
    check.check = Verdict::Check{Verdict::Check::Kind::Directory, {}, directory.service};
    return check;
}

LoginDesk::Verdict LoginDesk::HashCheck(const std::string& hash)
{
    Verdict check;
    check.kind = Verdict::Kind::Check;
    check.knownName = true;
    check.check = Verdict::Check{Verdict::Check::Kind::Hash, hash, {}};
    return check;
}

LoginDesk::Verdict LoginDesk::Login(const OperatorConnection& from, const std::string& name,
                                    const std::string& password, TimeSource::TimePoint now)
{
    const auto user = users.find(name);
    if (user == users.end()) {
        if (!directory.Enabled())
            return Failed(from.clientAddress, name, false, false, now);
        return DirectoryCheck();
    }
    const UserAccount& account = user->second;
    if (!account.passwordHash.empty()) {
        return HashCheck(account.passwordHash);
    }
    if (!account.password.empty() && account.password != password)
        return Failed(from.clientAddress, name, true, false, now);
    return PassedAs(from, name, account.priority);
}

LoginDesk::Evaluation LoginDesk::Evaluate(const std::string& name, const Verdict::Check& check,
                                          const CheckResult& result)
{
    Evaluation found;
    const bool directoryCheck = check.kind == Verdict::Check::Kind::Directory;
    auto reason = [&](const std::string& text) {
        found.notice = directoryCheck ? NoticeOnce("Directory accounts (service " + check.service +
                                                   "): " + text)
                                      : NoticeOnce("Password hashes: " + text);
        return found;
    };
    switch (result.kind) {
    case CheckResult::Kind::TimedOut:
        return reason("no answer within " + std::to_string(CheckDeadline.count()) + " s");
    case CheckResult::Kind::Busy:
        return reason("too many logins waiting for a check");
    case CheckResult::Kind::HashDiffers:
        return found;
    case CheckResult::Kind::HashMatched: {
        // Checked against the hash the user had then; a reload since may
        // have removed the user or changed the hash.
        const auto user = users.find(name);
        if (user == users.end() || user->second.passwordHash != check.hash)
            return found;
        found.passed = true;
        found.priority = user->second.priority;
        found.supervisor = user->second.supervisor;
        return found;
    }
    case CheckResult::Kind::Directory:
        break;
    }
    if (result.answer.outcome != DirectoryAnswer::Outcome::Passed)
        return reason(result.answer.reason);
    // The groups as configured now.
    const DirectoryGroup* best = nullptr;
    for (const DirectoryGroup& group : directory.groups) {
        for (const std::string& member : result.answer.groups) {
            if (member != group.name)
                continue;
            if (!best || group.priority > best->priority)
                best = &group;
            if (group.supervisor)
                found.supervisorGroups.push_back(group.name);
        }
    }
    if (!best || !directory.Enabled()) {
        found.supervisorGroups.clear();
        return reason("an account in none of the configured groups");
    }
    found.passed = true;
    found.priority = best->priority;
    found.supervisor = !found.supervisorGroups.empty();
    return found;
}

LoginDesk::Verdict LoginDesk::Checked(const OperatorConnection& from, const std::string& name,
                                      const Verdict::Check& check, const CheckResult& result,
                                      TimeSource::TimePoint now)
{
    const Evaluation found = Evaluate(name, check, result);
    Verdict verdict =
        found.passed
            ? PassedAs(from, name, found.priority)
            : Failed(from.clientAddress, name, check.kind == Verdict::Check::Kind::Hash, false, now);
    verdict.supervisor = found.passed && !found.supervisorGroups.empty();
    verdict.notice = found.notice;
    return verdict;
}

LoginDesk::Verdict LoginDesk::Failed(const std::string& clientAddress, const std::string& name,
                                     bool knownName, bool supervisor, TimeSource::TimePoint now)
{
    if (policy.throttleLogins) {
        if (const auto due =
                throttle.Failed(clientAddress, knownName ? name : std::string(), now)) {
            Verdict held;
            held.kind = Verdict::Kind::HeldBack;
            held.due = due;
            held.knownName = knownName;
            return held;
        }
    }
    return Refused(clientAddress, name, supervisor);
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
    const auto user = users.find(name);
    if (user == users.end()) {
        if (!directory.Enabled())
            return Failed(clientAddress, name, false, true, now);
        return DirectoryCheck();
    }
    const UserAccount& account = user->second;
    if (account.supervisor && !account.passwordHash.empty()) {
        return HashCheck(account.passwordHash);
    }
    if (!account.supervisor || (!account.password.empty() && account.password != password))
        return Failed(clientAddress, name, true, true, now);
    return SupervisorPassed(clientAddress, name);
}

LoginDesk::Verdict LoginDesk::SupervisorChecked(const std::string& clientAddress,
                                                const std::string& name,
                                                const Verdict::Check& check,
                                                const CheckResult& result,
                                                TimeSource::TimePoint now)
{
    const Evaluation found = Evaluate(name, check, result);
    Verdict verdict;
    if (found.passed && check.kind == Verdict::Check::Kind::Directory) {
        // What the directory says now stands: in no supervisors' group any
        // more, the account's earlier supervisor login no longer counts.
        if (found.supervisorGroups.empty())
            directorySupervisors.erase(name);
        else
            directorySupervisors[name] = found.supervisorGroups;
    }
    if (found.passed && found.supervisor)
        verdict = SupervisorPassed(clientAddress, name);
    else
        verdict = Failed(clientAddress, name, check.kind == Verdict::Check::Kind::Hash, true, now);
    verdict.notice = found.notice;
    return verdict;
}

LoginDesk::Verdict LoginDesk::SupervisorPassed(const std::string& clientAddress,
                                               const std::string& name)
{
    throttle.Passed(clientAddress, name);
    Verdict passed;
    passed.kind = Verdict::Kind::Passed;
    passed.supervisor = true;
    passed.knownName = true;
    passed.logLine = "Supervisor login from " + clientAddress + " by user " + LogSafe(name);
    return passed;
}

bool LoginDesk::IsSupervisor(const std::string& name) const
{
    if (const auto user = users.find(name); user != users.end())
        return user->second.supervisor; // a configured user wins
    const auto found = directorySupervisors.find(name);
    if (found == directorySupervisors.end() || !directory.Enabled())
        return false;
    for (const DirectoryGroup& group : directory.groups) {
        if (!group.supervisor)
            continue;
        for (const std::string& member : found->second) {
            if (member == group.name)
                return true;
        }
    }
    return false;
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
