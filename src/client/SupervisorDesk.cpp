#include "client/SupervisorDesk.h"

#include "client/ClientServer.h"
#include "client/ControlService.h"
#include "log/LogFile.h"

#include <boost/asio/post.hpp>

#include <utility>

namespace korvel {

SupervisorDesk::SupervisorDesk(boost::asio::io_context& io, TimeSource& time,
                               ControlService& control, ClientServer& server)
    : io(io), time(time), control(control), server(server)
{
}

void SupervisorDesk::SupervisorLogin(const std::string& clientAddress, const std::string& user,
                                     const std::string& password,
                                     std::function<void(bool passed)> answer)
{
    server.SupervisorLogin(
        clientAddress, user, password,
        lifetime.Guard([this, clientAddress, user, answer = std::move(answer)](
                           const LoginDesk::Verdict& verdict) mutable {
            Decided(clientAddress, user, verdict, std::move(answer));
        }));
}

void SupervisorDesk::Decided(const std::string& clientAddress, const std::string& user,
                             const LoginDesk::Verdict& verdict,
                             std::function<void(bool passed)> answer)
{
    if (!verdict.notice.empty())
        LogFile.BeginLine() << verdict.notice << std::endl;
    if (verdict.kind != LoginDesk::Verdict::Kind::HeldBack) {
        const bool passed = verdict.kind == LoginDesk::Verdict::Kind::Passed;
        boost::asio::post(io, lifetime.Guard([this, clientAddress, user, passed,
                                              line = verdict.logLine,
                                              answer = std::move(answer)]() mutable {
            Answer(clientAddress, user, passed, line, std::move(answer));
        }));
        return;
    }
    observer->LoginThrottled();
    const std::uint64_t number = ++held;
    auto& timer = heldBack[number];
    timer = std::make_unique<LoopTimer>(io, time);
    timer->ExpiresAt(*verdict.due);
    timer->AsyncWait(lifetime.Guard([this, number, clientAddress, user,
                                     answer = std::move(answer)](
                                        const boost::system::error_code& error) mutable {
        heldBack.erase(number);
        if (error)
            return;
        const LoginDesk::Verdict refused = server.SupervisorRefused(clientAddress, user);
        Answer(clientAddress, user, false, refused.logLine, std::move(answer));
    }));
}

void SupervisorDesk::Answer(const std::string& clientAddress, const std::string& user,
                            bool passed, const std::string& logLine,
                            std::function<void(bool)> answer)
{
    LogFile.BeginLine() << logLine << std::endl;
    OperatorEvents::SupervisorAction action;
    action.kind = OperatorEvents::SupervisorActionKind::Login;
    action.supervisor = user;
    action.result = passed ? "ok" : "failed";
    action.client = clientAddress;
    observer->SupervisorActed(action);
    answer(passed);
}

bool SupervisorDesk::IsSupervisor(const std::string& user) const
{
    return server.IsSupervisor(user);
}

SupervisorActions::Result SupervisorDesk::Release(std::uint32_t pelco,
                                                  const std::string& supervisor)
{
    return control.Release(pelco, supervisor);
}

SupervisorActions::Result SupervisorDesk::Reserve(std::uint32_t pelco,
                                                  const std::optional<std::string>& forUser,
                                                  std::chrono::minutes minutes,
                                                  const std::string& supervisor)
{
    return control.Reserve(pelco, forUser, minutes, supervisor);
}

SupervisorActions::Result SupervisorDesk::Unreserve(std::uint32_t pelco,
                                                    const std::string& supervisor)
{
    return control.Unreserve(pelco, supervisor);
}

SupervisorActions::Result SupervisorDesk::EndSession(std::uint16_t session,
                                                     const std::string& supervisor)
{
    OperatorEvents::SupervisorAction action;
    action.kind = OperatorEvents::SupervisorActionKind::EndSession;
    action.supervisor = supervisor;
    action.session = server.FindSession(session);
    action.result = action.session ? "ok" : "not-found";
    // Recorded before the session's own end.
    observer->SupervisorActed(action);
    if (!action.session)
        return {SupervisorActions::Result::Kind::NotFound, {}};
    server.EndSession(session);
    return {};
}

} // namespace korvel
