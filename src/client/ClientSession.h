#pragma once

#include "client/ConnectionTable.h"
#include "client/SessionStateMachine.h"
#include "clock/TimeSource.h"
#include "loop/LoopTimer.h"
#include "platform/SocketKeepAlive.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace korvel {

// What a session tells its registry (ClientServer): one method, answered at
// once (see SessionReport and SessionAnswer).
class SessionListener
{
public:
    virtual SessionAnswer SessionReported(ConnectionId connection, const SessionReport& report) = 0;

protected:
    ~SessionListener() = default;
};

// One operator connection's transport as its registry starts it: a
// socket's (ClientSession), or a test's over a simulated network.
class SessionTransport : public OperatorSession
{
public:
    // See ClientSession::Start.
    virtual std::error_code Start(ConnectionId id, std::uint16_t number,
                                  const std::string& clientAddress,
                                  std::optional<TimeSource::TimePoint> loginDeadline) = 0;

protected:
    ~SessionTransport() = default;
};

// Dotted decimal for IPv4 clients, also when a dual-stack listener sees them
// as IPv4-mapped IPv6 addresses.
std::string ClientAddressText(const boost::asio::ip::address& address);

// One operator connection's transport: the socket, one read path (a receive
// into a fixed buffer per message), one write path (the front of the
// session core's outbox, offered to the socket at once where the core says
// so, else written asynchronously), and the two deadlines as LoopTimers
// (made when first needed: most sessions never wait for either, and a
// control room may keep thousands open). Every rule is the core's
// (SessionStateMachine); this class carries out its actions and reports
// the socket's completions back.
//
// The connection has TCP keepalive (KeepAlive), so that a workstation that
// vanished without a word frees its session within about two minutes.
//
// Lifetime: owned by the handlers of its pending operations (its buffers must
// outlive them) and by the connection table. When it ends, it closes the
// socket and cancels its timers at once, and reports Ended on a later turn of
// the loop: never from inside a call the registry or the control service
// made, so that a fan-out of notices goes on over a session that failed
// during it. The registry outlives every session it started (the run closes
// both and lets the loop drain).
//
// Threads: everything on the I/O loop thread.
class ClientSession final : public SessionTransport,
                            public std::enable_shared_from_this<ClientSession>
{
public:
    static constexpr std::size_t BufferSize = SessionStateMachine::BufferSize;
    // First probe after a minute without traffic, then every 10 s; the
    // sixth unanswered probe ends the connection (at 2 minutes).
    static constexpr KeepAliveTiming KeepAlive{std::chrono::seconds(60), std::chrono::seconds(10),
                                               6};

    ClientSession(boost::asio::io_context& io, TimeSource& time, boost::asio::ip::tcp::socket socket,
                  SessionListener& listener);
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // Greets the client as the connection's number (its source port) and
    // starts reading once the greeting is out; with a login deadline, the
    // session ends unless a LOGIN has passed by then. Why keepalive could not
    // be turned on, if it could not.
    std::error_code Start(ConnectionId id, std::uint16_t number, const std::string& clientAddress,
                          std::optional<TimeSource::TimePoint> loginDeadline) override;

    void Send(Notification text) override;
    void Answer(const SessionAnswer& answer) override;
    void Revoke() override;
    void Close() override;

private:
    void Perform(SessionActions actions);
    void Report(const SessionReport& report);
    void StartReceive();
    void AwaitMessage();
    void OnReceived(const boost::system::error_code& error, std::size_t count);
    // atOnce: offered to the socket without waiting first.
    void WriteFront(bool atOnce);
    void OnWritten(const boost::system::error_code& error);
    void Arm(std::unique_ptr<LoopTimer>& timer, TimeSource::TimePoint deadline,
             SessionStateMachine::Deadline which);
    void End();

    boost::asio::io_context& io;
    TimeSource& time;
    boost::asio::ip::tcp::socket socket;
    SessionListener& listener;
    ConnectionId id = NoConnection;
    SessionStateMachine core;
    std::array<char, BufferSize> buffer{};
    std::size_t frontSent = 0; // bytes of the outbox's front already written
    std::unique_ptr<LoopTimer> loginDeadline;
    std::unique_ptr<LoopTimer> answerDeadline;
};

} // namespace korvel
