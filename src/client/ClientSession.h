#pragma once

#include "client/Arbitration.h"
#include "client/Notification.h"
#include "loop/Lifetime.h"
#include "platform/SocketKeepAlive.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace korvel {

class ClientSession;

// All that a session tells the registry that started it (ClientServer).
// Everything runs on the I/O loop thread.
class SessionEvents
{
public:
    // A message from the client, valid during the call. The registry answers
    // a LOGIN through the session (Reply, RefuseLoginAt).
    virtual void MessageArrived(ClientSession& session, const char* message, std::size_t count) = 0;
    // The FAILURE that RefuseLoginAt held back for `name` is due now.
    virtual void LoginRefusalDue(ClientSession& session, const std::string& name) = 0;
    // The connection is closed: the session no longer counts against the cap.
    // It may come while notices are being sent.
    virtual void SessionClosed(const ClientSession& session) = 0;
    // The session is over; called from its own completions only, never while
    // notices are being sent, so the registry may forget it here.
    virtual void SessionEnded(ClientSession& session) = 0;

protected:
    ~SessionEvents() = default;
};

// Dotted decimal for IPv4 clients, also when a dual-stack listener sees them
// as IPv4-mapped IPv6 addresses.
std::string ClientAddressText(const boost::asio::ip::address& address);

// One operator connection: the greeting, the read cycle (one receive per
// message into a fixed buffer) and an ordered queue of outgoing texts with at
// most one write in flight. The read cycle waits while a reply is on its way
// (and while a held-back FAILURE is due), so replies keep the order of the
// messages they answer.
//
// The connection has TCP keepalive (KeepAlive), so that a workstation that
// vanished without a word frees its session within about two minutes.
//
// What the client sends goes to the registry as it comes (SessionEvents),
// and the session knows nothing else of the service: the registry answers
// through Reply or RefuseLoginAt, the control service sends its notices
// through Send.
//
// Lifetime: the session is owned by the handlers of its pending operations,
// as its buffers must outlive them; the registry only refers to it. Every
// handler is also guarded by the registry's Lifetime, so that it does nothing
// once the registry has gone. The session ends on the first failed receive,
// on a failed greeting or LOGIN reply, when its queue outgrows MaxQueuedBytes,
// or, when logins are required, when it has not logged in within its login
// timeout; it is destroyed once its last operation has completed (or, when
// the registry goes first, with the loop).
// Everything runs on the I/O loop thread.
class ClientSession final : public NoticeSink, public std::enable_shared_from_this<ClientSession>
{
public:
    static constexpr std::size_t BufferSize = 1024;
    // A client that stops reading is dropped rather than allowed to hold
    // more than this many bytes of notifications.
    static constexpr std::size_t MaxQueuedBytes = 1024 * 1024;
    // First probe after a minute without traffic, then every 10 s; the
    // sixth unanswered probe ends the connection (at 2 minutes).
    static constexpr KeepAliveTiming KeepAlive{std::chrono::seconds(60), std::chrono::seconds(10),
                                               6};

    ClientSession(boost::asio::io_context& io, SessionEvents& registry,
                  Lifetime::Watch registryLifetime);
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // The socket the listener accepts into.
    boost::asio::ip::tcp::socket& Socket() { return socket; }

    struct Started
    {
        // 0 when the connection is already gone: the session then does
        // nothing more.
        std::uint16_t number = 0;
        // Why keepalive could not be turned on, if it could not.
        std::error_code keepAliveFailure;
    };
    // Once accepted: greets the client and starts the read cycle; with a
    // login timeout, the session ends unless it has logged in by then.
    Started Start(std::optional<std::chrono::milliseconds> loginTimeout);

    // Sends one notification after the texts already queued: at once when
    // nothing is queued, else when its turn comes.
    void Send(Notification text) override;

    std::uint16_t GetNumber() const { return number; }
    const std::string& GetUserName() const { return userName; }
    std::int32_t GetPriority() const { return priority; }
    const std::string& GetClientAddress() const { return clientAddress; }
    // Who the session is to the arbitration, from its registration (by the
    // registry, once started) until it leaves.
    Arbitration::ConnectionId GetConnection() const { return connection; }
    void SetConnection(Arbitration::ConnectionId id) { connection = id; }

    // Configured user names are never empty, so an empty name means that no
    // LOGIN has passed on this session.
    bool LoggedIn() const { return !userName.empty(); }
    // Whether the session was started with a login timeout: it counts
    // commands only once logged in (RequireLogin as it was when it started).
    bool LoginRequired() const { return loginRequired; }
    // A LOGIN passed: the session steers as that user from now on.
    void LogIn(const std::string& name, std::int32_t userPriority);
    // Its user's priority changed: its next command steers with this one.
    void SetPriority(std::int32_t userPriority) { priority = userPriority; }
    // Its user was removed or given another password: the session ends now,
    // logged like a lost session, and sends nothing more. The registry, which
    // asks for it, forgets the session itself.
    void Revoke();
    // True the first time only: a session's ignored commands are logged once.
    bool FirstIgnoredCommand();
    // The answer to the message the registry is handling (or to a held-back
    // LOGIN), at most BufferSize bytes: written after what is queued, and
    // the session reads its next message once it has been.
    void Reply(std::string_view text);
    // A LOGIN for `name` failed and its FAILURE is held back until `due`:
    // then the registry is told (LoginRefusalDue) and answers it, and only
    // then does the session read its next message.
    void RefuseLoginAt(std::string name, Arbitration::Clock::time_point due);

private:
    void StartReceive();
    void AwaitMessage();
    void OnReceived(const boost::system::error_code& error, std::size_t count);
    // Queues the reply that the buffer holds (the greeting or a LOGIN answer);
    // the read cycle resumes once it has been written.
    void QueueReply(std::size_t length);
    void WriteNext();
    void OnWritten(const boost::system::error_code& error);
    // Called when no write is in flight.
    void DropQueuedNotifications();
    void LogSendError(const boost::system::error_code& error) const;
    void LogLostSession() const;
    void OnRefusalDue(const boost::system::error_code& error);
    // While a FAILURE is held back the session reads nothing, yet a client
    // that has gone must not keep its session until the answer is due.
    void WatchWhileRefusing();
    void OnReadableWhileRefusing(const boost::system::error_code& error);
    void OnErrorWhileRefusing();
    void OnLoginDeadline(const boost::system::error_code& error);
    // Closes the connection and drops what is still queued.
    void End();
    // Tells the registry that the session is over; called from completions
    // only, never while notices are being sent.
    void Leave();

    boost::asio::ip::tcp::socket socket;
    std::uint16_t number = 0;
    std::string userName;
    std::int32_t priority = 0;
    std::string clientAddress;
    Arbitration::ConnectionId connection = Arbitration::NoConnection;
    std::array<char, BufferSize> buffer{};
    SessionEvents& registry;
    Lifetime::Watch registryLifetime;

    // Outgoing texts in order; a null entry stands for the reply in the buffer.
    std::deque<Notification> outbox;
    std::size_t replyLength = 0;
    bool replyQueued = false;
    std::size_t frontSent = 0;   // bytes of the front notification already sent
    std::size_t queuedBytes = 0; // notification bytes in outbox
    bool ignoredCommandLogged = false;
    bool loginRequired = false;
    // The held-back FAILURE: the name as sent, and when it is due.
    std::string refusedName;
    bool refusalPending = false;
    bool readWatchPending = false;
    bool errorWatchPending = false;
    // Both made when first needed: most sessions never wait for either, and
    // a control room may keep thousands of sessions open.
    std::unique_ptr<boost::asio::steady_timer> refusalTimer;
    // Runs from the greeting to the first login, when logins are required.
    std::unique_ptr<boost::asio::steady_timer> loginDeadline;
    // A notification write failed: the connection is broken, and the pending
    // receive will fail in turn and end the session. Until then later
    // notifications are dropped rather than each failing with a line of its own.
    bool sendFailed = false;
    bool ended = false;
};

} // namespace korvel
