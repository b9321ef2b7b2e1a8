#pragma once

#include "client/ClientSession.h"
#include "client/ConnectionTable.h"
#include "client/LineBudget.h"
#include "client/LoginDesk.h"
#include "client/OperatorEvents.h"
#include "client/OperatorPort.h"
#include "client/SessionCap.h"
#include "clock/TimeSource.h"
#include "config/Settings.h"
#include "loop/BlockingCalls.h"
#include "loop/LoopTimer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace korvel {

class ControlService;

// The session registry: the operator port (OperatorPort), the sessions it
// starts (ClientSession) and the connection table they are filed in, within
// the cap on sessions (SessionCap), which it tells of the connections that
// have not logged in (they may give way to a newcomer at the cap: the
// registry closes them). What a session reports goes here
// (SessionListener): a LOGIN is answered by the login rules (LoginDesk),
// every other message goes to the control service, once the RequireLogin
// gate lets it through; the gate's line is logged within its client
// address's share of such lines (LineBudget).
//
// Checks that take long (a password hash, a directory account) run off the
// loop (BlockingCalls: hashes on up to HashThreads threads, the directory on
// up to DirectoryThreads, at most MaxWaitingChecks waiting for each), while
// the session's answer is held back; each has LoginDesk::CheckDeadline, at
// which the LOGIN fails whatever the check still does. A directory that
// hangs so holds at most DirectoryThreads threads; once they all hang, a
// directory LOGIN waits for a free one and fails at its deadline, and past
// MaxWaitingChecks waiting fails at once. Configured users with a Password
// are answered as ever.
//
// Keepalive: a session that could not turn on TCP keepalive for its
// connection (ClientSession::KeepAlive) is logged once a run.
//
// Threads: everything runs on the I/O loop thread.
//
// Lifetime: the control service and the table outlive the registry; the
// registry outlives its sessions' completions: Close ends the port and every
// session, and the run lets the loop drain before it destroys them.
class ClientServer final : public SessionListener, private OperatorPort::Listener
{
public:
    ClientServer(boost::asio::io_context& io, TimeSource& time, ConnectionTable& connections,
                 ControlService& control, const UserTable& users,
                 const SessionPolicy& policy = SessionPolicy());
    ClientServer(const ClientServer&) = delete;
    ClientServer& operator=(const ClientServer&) = delete;

    // Listens on the address and port (a second call moves the listener, see
    // OperatorPort::Listen): why it could not, empty once it does. The first
    // raises the process's soft descriptor limit to its hard limit, and caps
    // the sessions lower (with a log line) when even that leaves too few
    // descriptors for policy.maxSessions sessions and the rest of the service.
    std::string Listen(const std::string& address, std::uint32_t port);
    boost::asio::ip::tcp::endpoint LocalEndpoint() const { return port.LocalEndpoint(); }
    // The cap in force (maxSessions as the descriptor limit allows).
    std::size_t MaxSessions() const { return cap.Max(); }

    // A reload's changes.
    // From the next connection (MaxSessions, RequireLogin: a session keeps
    // the rule it was started with) or LOGIN (LoginThrottle) on; the cap
    // checked against the descriptor limit as at start.
    void SetPolicy(const SessionPolicy& next);
    // From the next LOGIN on (a session logged in through the directory
    // keeps its priority until then).
    void SetDirectory(const DirectorySettings& next) { desk.SetDirectory(next); }
    // Every session logged in as the user ends now (logged like a lost
    // session) and loses control (ControlService::Revoke).
    void EndSessionsOf(const std::string& userName);
    // The sessions logged in as the user steer with the priority from their
    // next command.
    void SetUserPriority(const std::string& userName, Priority priority);
    // Who hears what happens from now on (NoOperatorEvents() until then).
    void SetObserver(OperatorEvents& events) { observer = &events; }

    // The supervisor desk.
    // A supervisor's login, by the login rules and throttle of LOGIN
    // (LoginDesk::SupervisorLogin), with a check that takes long made off the
    // loop as a LOGIN's: `decided` has the verdict (Passed, Refused or
    // HeldBack), from inside this call when no check is needed, else on the
    // loop once the check ends or its deadline comes; never once the registry
    // has closed. Its lines are the caller's to log.
    void SupervisorLogin(const std::string& clientAddress, const std::string& name,
                         const std::string& password,
                         std::function<void(const LoginDesk::Verdict&)> decided);
    LoginDesk::Verdict SupervisorRefused(const std::string& clientAddress,
                                         const std::string& name) const
    {
        return desk.Refused(clientAddress, name, true);
    }
    bool IsSupervisor(const std::string& name) const { return desk.IsSupervisor(name); }
    // The first live connection with the session number, none when none has it.
    std::optional<SessionFacts> FindSession(SessionNumber number) const;
    // Every live connection with the session number ends now, logged like a
    // lost session (its holds last their time).
    void EndSession(SessionNumber number);

    // A connection from the client at the address, as its number: admitted
    // within the cap, over the transport `make` makes with this registry as
    // its listener; false when refused (its caller then closes it).
    bool Arrived(SessionNumber number, const std::string& clientAddress,
                 const std::function<std::shared_ptr<SessionTransport>()>& make);

    // The run stops: the port closes, and so does every session, without a line.
    void Close();

    SessionAnswer SessionReported(ConnectionId connection, const SessionReport& report) override;

private:
    void Accepted(boost::asio::ip::tcp::socket socket,
                  const boost::asio::ip::tcp::endpoint& remote) override;
    std::string FitCap(std::size_t maxSessions);
    SessionAnswer MessageArrived(ConnectionId connection, const char* bytes, std::size_t count);
    SessionAnswer LogIn(ConnectionId connection, const std::string& name,
                        const std::string& password);
    // Its log line, its record and "FAILURE".
    SessionAnswer Refuse(ConnectionId connection, const LoginDesk::Verdict& verdict,
                         const std::string& name);
    void Ended(ConnectionId connection);
    // The verdict carried out: the answer for the session.
    SessionAnswer Answer(ConnectionId connection, const std::string& name,
                         const LoginDesk::Verdict& verdict);
    // The check started, off the loop: HoldBack, or the answer at once when
    // it cannot be started.
    SessionAnswer StartCheck(ConnectionId connection, const std::string& name,
                             const std::string& password, const LoginDesk::Verdict::Check& check);
    // The check run off the loop, `ended` called with its result on the loop
    // (or at its deadline); false when too many are waiting already. A
    // connection's check goes when the connection does.
    bool RunCheck(const std::string& name, const std::string& password,
                  const LoginDesk::Verdict::Check& check, ConnectionId connection,
                  std::function<void(const LoginDesk::CheckResult&)> ended);
    void CheckEnded(std::uint64_t checkNumber, const LoginDesk::CheckResult& result);

    static constexpr std::size_t HashThreads = 2;
    static constexpr std::size_t DirectoryThreads = 4;
    static constexpr std::size_t MaxWaitingChecks = 64;

    // A LOGIN, or a supervisor's login, whose check is under way.
    struct PendingCheck
    {
        ConnectionId connection = NoConnection; // none for a supervisor's
        std::function<void(const LoginDesk::CheckResult&)> ended;
        BlockingCalls* calls = nullptr;
        BlockingCalls::Ticket ticket = 0;
        std::unique_ptr<LoopTimer> deadline;
    };

    boost::asio::io_context& io;
    TimeSource& time;
    ConnectionTable& connections;
    ControlService& control;
    OperatorPort port;
    LoginDesk desk;
    SessionCap cap;
    LineBudget ignoredCommandLines;
    // Made when first needed; declared after what their completions touch.
    std::unique_ptr<BlockingCalls> hashChecks;
    std::unique_ptr<BlockingCalls> directoryChecks;
    std::map<std::uint64_t, PendingCheck> checks;
    std::uint64_t checksStarted = 0;
    Lifetime lifetime;
    OperatorEvents* observer = &NoOperatorEvents();
    bool listening = false;
    bool keepAliveFailureLogged = false;
    bool closed = false;
};

} // namespace korvel
