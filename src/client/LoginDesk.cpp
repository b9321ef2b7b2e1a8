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
    return Check(from.clientAddress, name, password, now, false);
}

LoginDesk::Verdict LoginDesk::SupervisorLogin(const std::string& clientAddress,
                                              const std::string& name,
                                              const std::string& password,
                                              TimeSource::TimePoint now)
{
    return Check(clientAddress, name, password, now, true);
}

LoginDesk::Verdict LoginDesk::Check(const std::string& clientAddress, const std::string& name,
                                    const std::string& password, TimeSource::TimePoint now,
                                    bool supervisor)
{
    const auto user = users.find(name);
    if (user == users.end() ||
        (!user->second.password.empty() && user->second.password != password) ||
        (supervisor && !user->second.supervisor)) {
        if (policy.throttleLogins) {
            const std::string counted = user == users.end() ? std::string() : name;
            if (const auto due = throttle.Failed(clientAddress, counted, now)) {
                Verdict held;
                held.kind = Verdict::Kind::HeldBack;
                held.due = due;
                held.knownName = user != users.end();
                return held;
            }
        }
        return Refused(clientAddress, name, supervisor);
    }
    throttle.Passed(clientAddress, name);
    Verdict passed;
    passed.kind = Verdict::Kind::Passed;
    passed.priority = user->second.priority;
    passed.knownName = true;
    passed.logLine = supervisor ? "Supervisor login from " + clientAddress + " by user " +
                                      LogSafe(name)
                                : "Login from " + clientAddress + " by user " + LogSafe(name) +
                                      " with priority " + std::to_string(passed.priority);
    return passed;
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
