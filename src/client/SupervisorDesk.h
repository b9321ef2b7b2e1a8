#pragma once

#include "client/LoginDesk.h"
#include "client/OperatorEvents.h"
#include "clock/TimeSource.h"
#include "config/Settings.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"
#include "ops/SupervisorActions.h"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

class ClientServer;
class ControlService;

// What a supervisor may have the operator side do (SupervisorActions), for
// the status server's supervisor API: logins by the login rules and throttle
// of the operator port (ClientServer), a camera's release and reservation by
// the control service, a session's end by the registry. Each action is told
// to the observer (one audit record each, naming the supervisor).
//
// A login's answer always comes from a completion on the loop, never from
// inside SupervisorLogin: a password hash or a directory account is checked
// off the loop as for a LOGIN (ClientServer), and a failure the throttle
// holds back comes when it is due, on `time`.
//
// Threads: the I/O loop. Lifetime: the control service and the registry
// outlive it; pending login answers are dropped with it (guarded).
class SupervisorDesk final : public SupervisorActions
{
public:
    SupervisorDesk(boost::asio::io_context& io, TimeSource& time, ControlService& control,
                   ClientServer& server);
    SupervisorDesk(const SupervisorDesk&) = delete;
    SupervisorDesk& operator=(const SupervisorDesk&) = delete;

    // Who hears what happens from now on (NoOperatorEvents() until then).
    void SetObserver(OperatorEvents& events) { observer = &events; }
    // The run stops: the held-back answers are not given.
    void Close() { heldBack.clear(); }

    void SupervisorLogin(const std::string& clientAddress, const std::string& user,
                         const std::string& password,
                         std::function<void(bool passed)> answer) override;
    bool IsSupervisor(const std::string& user) const override;
    Result Release(std::uint32_t pelco, const std::string& supervisor) override;
    Result Reserve(std::uint32_t pelco, const std::optional<std::string>& forUser,
                   std::chrono::minutes minutes, const std::string& supervisor) override;
    Result Unreserve(std::uint32_t pelco, const std::string& supervisor) override;
    Result EndSession(std::uint16_t session, const std::string& supervisor) override;

private:
    // The login's verdict carried out: its answer posted, or held back until due.
    void Decided(const std::string& clientAddress, const std::string& user,
                 const LoginDesk::Verdict& verdict, std::function<void(bool passed)> answer);
    void Answer(const std::string& clientAddress, const std::string& user, bool passed,
                const std::string& logLine, std::function<void(bool)> answer);

    boost::asio::io_context& io;
    TimeSource& time;
    ControlService& control;
    ClientServer& server;
    OperatorEvents* observer = &NoOperatorEvents();
    // The held-back refusals, each on its timer until due.
    std::map<std::uint64_t, std::unique_ptr<LoopTimer>> heldBack;
    std::uint64_t held = 0;
    Lifetime lifetime;
};

} // namespace korvel
