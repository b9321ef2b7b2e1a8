#include "client/ClientSession.h"

#include "client/OperatorProtocol.h"
#include "log/LogFile.h"
#include "log/LogText.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <utility>

namespace korvel {

std::string ClientAddressText(const boost::asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
            .to_string();
    return address.to_string();
}

ClientSession::ClientSession(boost::asio::io_context& io, SessionEvents& registry,
                             Lifetime::Watch registryLifetime)
    : socket(io), registry(registry), registryLifetime(std::move(registryLifetime))
{}

ClientSession::Started ClientSession::Start(std::optional<std::chrono::milliseconds> loginTimeout)
{
    boost::system::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error || remote.port() == 0) {
        // Reset before we got to it: nobody to greet.
        End();
        return {};
    }
    // Operators see control changes as they happen, not after a delayed ack.
    socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
    // Notifications are first offered to the socket without waiting (Send).
    socket.non_blocking(true, error);
    const std::error_code keepAliveFailure =
        EnableKeepAlive(static_cast<std::uintptr_t>(socket.native_handle()), KeepAlive);
    loginRequired = loginTimeout.has_value();
    if (loginTimeout) {
        loginDeadline = std::make_unique<boost::asio::steady_timer>(socket.get_executor());
        loginDeadline->expires_after(*loginTimeout);
        loginDeadline->async_wait(registryLifetime.Guard(
            [self = shared_from_this()](const boost::system::error_code& waitError) {
                self->OnLoginDeadline(waitError);
            }));
    }

    clientAddress = ClientAddressText(remote.address());
    number = remote.port();
    const std::string greeting = OperatorProtocol::Greeting(number);
    std::copy(greeting.begin(), greeting.end(), buffer.begin());
    QueueReply(greeting.size());
    return {number, keepAliveFailure};
}

void ClientSession::LogIn(const std::string& name, std::int32_t userPriority)
{
    userName = name;
    priority = userPriority;
    if (loginDeadline)
        loginDeadline->cancel();
}

void ClientSession::Reply(std::string_view text)
{
    if (ended)
        return;
    const std::size_t length = std::min(text.size(), buffer.size());
    std::copy_n(text.begin(), length, buffer.begin());
    QueueReply(length);
}

void ClientSession::RefuseLoginAt(std::string name, Arbitration::Clock::time_point due)
{
    refusedName = std::move(name);
    refusalPending = true;
    if (!refusalTimer)
        refusalTimer = std::make_unique<boost::asio::steady_timer>(socket.get_executor());
    refusalTimer->expires_at(due);
    refusalTimer->async_wait(
        registryLifetime.Guard([self = shared_from_this()](const boost::system::error_code& error) {
            self->OnRefusalDue(error);
        }));
    WatchWhileRefusing();
}

void ClientSession::WatchWhileRefusing()
{
    if (readWatchPending)
        return;
    readWatchPending = true;
    socket.async_wait(
        boost::asio::ip::tcp::socket::wait_read,
        registryLifetime.Guard([self = shared_from_this()](const boost::system::error_code& error) {
            self->readWatchPending = false;
            self->OnReadableWhileRefusing(error);
        }));
}

// Readable: the client closed, reset, or sent its next message; a look
// without reading tells which.
void ClientSession::OnReadableWhileRefusing(const boost::system::error_code& error)
{
    if (ended) {
        Leave();
        return;
    }
    if (!refusalPending)
        return; // answered meanwhile: the read cycle goes on
    if (!error) {
        char next = 0;
        boost::system::error_code peekError;
        const std::size_t peeked = socket.receive(
            boost::asio::buffer(&next, 1), boost::asio::socket_base::message_peek, peekError);
        if (peekError == boost::asio::error::would_block) {
            WatchWhileRefusing();
            return;
        }
        if (!peekError && peeked > 0) {
            // Its next message waits its turn; from now on only a reset or
            // failed keepalive probes tell that the client has gone.
            if (!errorWatchPending) {
                errorWatchPending = true;
                socket.async_wait(boost::asio::ip::tcp::socket::wait_error,
                                  registryLifetime.Guard([self = shared_from_this()](
                                                             const boost::system::error_code&) {
                                      self->errorWatchPending = false;
                                      self->OnErrorWhileRefusing();
                                  }));
            }
            return;
        }
    }
    // The client has gone: its FAILURE is never sent, nor logged.
    End();
    Leave();
}

void ClientSession::OnErrorWhileRefusing()
{
    if (ended) {
        Leave();
        return;
    }
    if (!refusalPending)
        return; // the read cycle meets the error, if any, itself
    End();
    Leave();
}

void ClientSession::OnRefusalDue(const boost::system::error_code& error)
{
    refusalPending = false;
    if (ended || error) {
        // Only End cancels the wait; the session reads nothing more.
        End();
        Leave();
        return;
    }
    const std::string name = std::move(refusedName);
    refusedName = std::string();
    registry.LoginRefusalDue(*this, name);
}

// Logged like any session lost for a fault of its client.
void ClientSession::OnLoginDeadline(const boost::system::error_code& error)
{
    if (error || ended || LoggedIn())
        return;
    LogLostSession();
    End();
    Leave();
}

void ClientSession::Revoke()
{
    if (ended)
        return;
    LogLostSession();
    End();
}

bool ClientSession::FirstIgnoredCommand()
{
    const bool first = !ignoredCommandLogged;
    ignoredCommandLogged = true;
    return first;
}

void ClientSession::Send(Notification text)
{
    if (ended || sendFailed)
        return;
    if (queuedBytes + text->size() > MaxQueuedBytes) {
        LogLostSession();
        End();
        return;
    }
    if (outbox.empty()) {
        // Nothing queued or in flight: the socket takes the text now, as a
        // rule, and then it needs neither the queue nor a trip through the
        // loop. Only what the socket cannot take yet waits for a write.
        boost::system::error_code error;
        const std::size_t sent = socket.send(boost::asio::buffer(*text), 0, error);
        if (error && error != boost::asio::error::would_block) {
            LogSendError(error);
            sendFailed = true;
            return;
        }
        if (sent == text->size())
            return;
        frontSent = sent;
    }
    queuedBytes += text->size();
    outbox.push_back(std::move(text));
    if (outbox.size() == 1)
        WriteNext();
}

// One receive is one message. The receive is tried at once: when the
// session starts reading again after a reply, data may be waiting whose
// readiness the loop has already seen go by.
void ClientSession::StartReceive()
{
    buffer.fill(0);
    boost::system::error_code error;
    const std::size_t count = socket.receive(boost::asio::buffer(buffer), 0, error);
    if (error == boost::asio::error::would_block)
        AwaitMessage();
    else
        OnReceived(error, count);
}

// Waits for the socket to become readable; only then is it read, so an idle
// session costs no receive that comes back empty.
void ClientSession::AwaitMessage()
{
    socket.async_wait(
        boost::asio::ip::tcp::socket::wait_read,
        registryLifetime.Guard([self = shared_from_this()](const boost::system::error_code& error) {
            if (error)
                self->OnReceived(error, 0);
            else
                self->StartReceive();
        }));
}

void ClientSession::OnReceived(const boost::system::error_code& error, std::size_t count)
{
    if (error || ended) {
        // The client went away (or we ended the session): nothing to log.
        End();
        Leave();
        return;
    }
    registry.MessageArrived(*this, buffer.data(), count);
    if (ended) {
        Leave();
        return;
    }
    if (replyQueued) {
        // The read cycle resumes once the reply has been written.
    } else if (refusalPending) {
        // The held-back reply resumes the read cycle once it is written.
    } else if (count < buffer.size()) {
        // That receive emptied the socket, and whatever arrives from now on
        // makes it readable anew.
        AwaitMessage();
    } else {
        // A full buffer: the rest of a long message may be waiting already.
        // Read it on a later turn, after the other sessions.
        boost::asio::post(
            socket.get_executor(),
            registryLifetime.Guard([self = shared_from_this()] { self->StartReceive(); }));
    }
}

void ClientSession::QueueReply(std::size_t length)
{
    replyLength = length;
    replyQueued = true;
    outbox.push_back(nullptr);
    if (outbox.size() == 1)
        WriteNext();
}

void ClientSession::WriteNext()
{
    const Notification& next = outbox.front();
    const boost::asio::const_buffer bytes =
        next ? boost::asio::const_buffer(next->data() + frontSent, next->size() - frontSent)
             : boost::asio::const_buffer(buffer.data(), replyLength);
    boost::asio::async_write(socket, bytes,
                             registryLifetime.Guard([self = shared_from_this()](
                                                        const boost::system::error_code& error,
                                                        std::size_t) { self->OnWritten(error); }));
}

void ClientSession::OnWritten(const boost::system::error_code& error)
{
    if (ended) {
        Leave();
        return;
    }
    const Notification written = std::move(outbox.front());
    outbox.pop_front();
    frontSent = 0;

    if (!written) {
        replyQueued = false;
        if (error) {
            LogLostSession();
            End();
            Leave();
            return;
        }
    } else {
        queuedBytes -= written->size();
        if (error) {
            // Not the end of the session: if the client is gone, the pending
            // receive fails in turn and ends it. The notifications queued
            // behind, and those still to come, would fail the same way.
            LogSendError(error);
            DropQueuedNotifications();
            sendFailed = true;
        }
    }
    if (!outbox.empty())
        WriteNext();
    // Last: the receive may handle a message at once, which may queue more.
    if (!written)
        StartReceive();
}

void ClientSession::DropQueuedNotifications()
{
    // A reply still waiting keeps its place: the read cycle resumes after it.
    const bool replyWaiting = std::find(outbox.begin(), outbox.end(), nullptr) != outbox.end();
    outbox.clear();
    if (replyWaiting)
        outbox.push_back(nullptr);
    queuedBytes = 0;
}

void ClientSession::LogSendError(const boost::system::error_code& error) const
{
    LogFile.BeginLine() << "Error sending data to client at " << clientAddress << ": "
                        << error.message() << std::endl;
}

void ClientSession::LogLostSession() const
{
    LogFile.BeginLine() << "Lost session with KorvelControl user " << LogSafe(userName) << " at "
                        << clientAddress << std::endl;
}

void ClientSession::End()
{
    if (ended)
        return;
    ended = true;
    if (number != 0)
        registry.SessionClosed(*this);
    boost::system::error_code ignored;
    socket.close(ignored); // a failed close leaves nothing to recover
    if (refusalTimer)
        refusalTimer->cancel();
    if (loginDeadline)
        loginDeadline->cancel();
    // The write in flight, if any, still uses the front entry until it completes.
    if (outbox.size() > 1)
        outbox.erase(outbox.begin() + 1, outbox.end());
    queuedBytes = 0;
}

void ClientSession::Leave()
{
    registry.SessionEnded(*this);
}

} // namespace korvel
