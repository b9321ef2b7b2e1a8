#pragma once

#include "client/ClientSession.h"
#include "client/LoginThrottle.h"
#include "client/OperatorEvents.h"
#include "config/Settings.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace korvel {

class ControlService;

// The operator port: the listener, the cap on sessions and the registry of
// the sessions it started. It answers LOGIN itself (the users, the
// failed-login throttle) and hands every other message to the control
// service (ControlService); a session tells it only what SessionEvents names.
//
// Threads: everything runs on the I/O loop thread.
//
// Lifetime: the registry and its sessions go before the loop. Every completion
// of the registry and of its sessions is guarded (see Lifetime), so that one
// still queued when the registry is destroyed does nothing even if the loop
// runs again.
//
// Session cap: a connection accepted while policy.maxSessions sessions are
// live is closed at once, without a greeting. The first refusal of an episode
// is logged, and so is its end, once the count has fallen a tenth below the
// cap (at least one), so that a flood, even one that keeps opening and
// closing connections at the cap, costs two log lines.
//
// Keepalive: a session that could not turn on TCP keepalive for its
// connection (ClientSession::KeepAlive) is logged once a run.
//
// Failed logins: unless policy.throttleLogins is off, the FAILURE replies to
// an address that keeps failing are held back as LoginThrottle decides; the
// session waits with its reply (ClientSession::RefuseLoginAt).
class ClientServer final : public SessionEvents
{
public:
    // Starts listening at once; throws boost::system::system_error when the
    // address is not numeric or the socket cannot be opened, bound or listen.
    // Raises the process's soft descriptor limit to its hard limit, and caps
    // the sessions lower (with a log line) when even that leaves too few
    // descriptors for policy.maxSessions sessions and the rest of the service.
    ClientServer(boost::asio::io_context& io, const std::string& address, std::uint32_t port,
                 ControlService& control, const UserTable& users,
                 SessionPolicy policy = SessionPolicy());
    // Takes its sessions out of the control service and forgets them (their
    // connections stay open until their pending completions are run or
    // dropped with the loop), and closes the listener. The control service
    // must outlive the registry.
    ~ClientServer();
    ClientServer(const ClientServer&) = delete;
    ClientServer& operator=(const ClientServer&) = delete;

    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    // The policy in force (maxSessions as capped by the descriptor limit).
    const SessionPolicy& Policy() const { return policy; }

    // A reload's changes.
    // From the next connection (MaxSessions, RequireLogin: a session keeps
    // the rule it was started with) or LOGIN (LoginThrottle) on; the cap
    // checked against the descriptor limit as at start.
    void SetPolicy(const SessionPolicy& next);
    // Listens at the new address and port, and only once that works closes
    // the listener it had; the sessions stay. Why it did not work, in the
    // words of the start's failures ("bind: Address already in use"); empty
    // once moved.
    std::string MoveListener(const std::string& address, std::uint32_t port);
    // Every session logged in as the user ends now (ClientSession::Revoke)
    // and loses control (ControlService::Revoke).
    void EndSessionsOf(const std::string& userName);
    // The sessions logged in as the user steer with the priority from their
    // next command.
    void SetUserPriority(const std::string& userName, std::int32_t priority);
    // Who hears what happens from now on (NoOperatorEvents() until then).
    void SetObserver(OperatorEvents& events) { observer = &events; }
    // The started sessions by Arbitration::ConnectionId; a gone one's entry
    // is empty. For the operations view.
    const std::vector<std::weak_ptr<ClientSession>>& Sessions() const { return sessions; }

private:
    void MessageArrived(ClientSession& session, const char* message, std::size_t count) override;
    void LoginRefusalDue(ClientSession& session, const std::string& name) override;
    void SessionClosed(const ClientSession& session) override;
    void SessionEnded(ClientSession& session) override;

    // Caps policy.maxSessions by the descriptor limit, with a log line.
    void CapSessions();
    void StartAccept();
    // An accept of an earlier listener (one a move replaced) still serves
    // the connection it brought, but starts no further accept.
    void OnAccepted(const std::shared_ptr<ClientSession>& session,
                    const boost::system::error_code& error, std::uint64_t listener);
    void Refuse(ClientSession& session);
    void KeepAliveFailed(const std::error_code& error);

    // LOGIN: the reply, or a FAILURE held back.
    void LogIn(ClientSession& session, const std::string& name, const std::string& password);
    // Its log line, its record and "FAILURE".
    void RefuseLogin(ClientSession& session, const std::string& name);
    // With RequireLogin, a session that has not logged in may only log in.
    bool IgnoredUntilLogin(ClientSession& session);

    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    std::uint64_t listenersOpened = 1; // the acceptor's number
    // Paces accepting while the process is out of descriptors or memory, on
    // the control service's time source.
    LoopTimer acceptPause;
    ControlService& control;
    const UserTable& users;
    SessionPolicy policy;
    OperatorEvents* observer = &NoOperatorEvents();
    std::size_t liveSessions = 0; // started and not yet closed
    bool refusing = false;        // in an episode of refused connections
    std::uint64_t refusedInEpisode = 0;
    bool keepAliveFailureLogged = false;
    LoginThrottle loginThrottle;
    // The started sessions by Arbitration::ConnectionId.
    std::vector<std::weak_ptr<ClientSession>> sessions;
    Lifetime lifetime;
};

} // namespace korvel
