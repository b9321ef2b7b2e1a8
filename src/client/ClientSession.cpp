#include "client/ClientSession.h"

#include "log/LogFile.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <utility>

namespace korvel {

std::string ClientAddressText(const boost::asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
            .to_string();
    return address.to_string();
}

ClientSession::ClientSession(boost::asio::io_context& io, TimeSource& time,
                             boost::asio::ip::tcp::socket socket, SessionListener& listener)
    : io(io), time(time), socket(std::move(socket)), listener(listener)
{}

std::error_code ClientSession::Start(ConnectionId connection, std::uint16_t number,
                                     const std::string& clientAddress,
                                     std::optional<TimeSource::TimePoint> deadline)
{
    id = connection;
    boost::system::error_code ignored;
    // Operators see control changes as they happen, not after a delayed ack.
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    // Notices are first offered to the socket without waiting.
    socket.non_blocking(true, ignored);
    const std::error_code keepAliveFailure =
        EnableKeepAlive(static_cast<std::uintptr_t>(socket.native_handle()), KeepAlive);
    Perform(core.Start(number, clientAddress, deadline));
    return keepAliveFailure;
}

void ClientSession::Send(Notification text)
{
    Perform(core.Notice(std::move(text)));
}

void ClientSession::Answer(const SessionAnswer& answer)
{
    Perform(core.AnswerCame(answer));
}

void ClientSession::Revoke()
{
    Perform(core.Revoked());
}

void ClientSession::Close()
{
    Perform(core.Stopped());
}

void ClientSession::Perform(SessionActions actions)
{
    if (!actions.logLine.empty())
        LogFile.BeginLine() << actions.logLine << std::endl;
    if (actions.end)
        End();
    if (actions.cancelLoginDeadline && loginDeadline)
        loginDeadline->Cancel();
    if (actions.cancelAnswerDeadline && answerDeadline)
        answerDeadline->Cancel();
    if (actions.loginDeadline)
        Arm(loginDeadline, *actions.loginDeadline, SessionStateMachine::Deadline::Login);
    if (actions.answerDeadline)
        Arm(answerDeadline, *actions.answerDeadline, SessionStateMachine::Deadline::Answer);
    if (actions.write)
        WriteFront(actions.atOnce);
    if (actions.report)
        Report(*actions.report);
    switch (actions.receive) {
    case SessionActions::Receive::None:
        break;
    case SessionActions::Receive::Now:
        StartReceive();
        break;
    case SessionActions::Receive::WhenReadable:
        AwaitMessage();
        break;
    case SessionActions::Receive::LaterTurn:
        // The rest of a long message may be waiting already: read it after
        // the other sessions.
        boost::asio::post(io, [self = shared_from_this()] { self->StartReceive(); });
        break;
    }
}

void ClientSession::Report(const SessionReport& report)
{
    Perform(core.Answered(listener.SessionReported(id, report)));
}

// The receive is tried at once: data may be waiting whose readiness the loop
// has already seen go by.
void ClientSession::StartReceive()
{
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
    socket.async_wait(boost::asio::ip::tcp::socket::wait_read,
                      [self = shared_from_this()](const boost::system::error_code& error) {
                          if (error)
                              self->OnReceived(error, 0);
                          else
                              self->StartReceive();
                      });
}

void ClientSession::OnReceived(const boost::system::error_code& error, std::size_t count)
{
    if (error)
        Perform(core.ReceiveFailed());
    else
        Perform(core.Received(buffer.data(), count));
}

void ClientSession::WriteFront(bool atOnce)
{
    const std::string& front = core.Front();
    if (atOnce) {
        // As a rule the socket takes a notice at once, and then it needs
        // neither the queue nor a trip through the loop.
        boost::system::error_code error;
        const std::size_t sent = socket.send(
            boost::asio::buffer(front.data() + frontSent, front.size() - frontSent), 0, error);
        if (error && error != boost::asio::error::would_block) {
            frontSent = 0;
            Perform(core.WriteFailed(error.message()));
            return;
        }
        frontSent += sent;
        if (frontSent == front.size()) {
            frontSent = 0;
            Perform(core.Written());
            return;
        }
    }
    boost::asio::async_write(
        socket, boost::asio::buffer(front.data() + frontSent, front.size() - frontSent),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            self->OnWritten(error);
        });
}

void ClientSession::OnWritten(const boost::system::error_code& error)
{
    frontSent = 0;
    Perform(error ? core.WriteFailed(error.message()) : core.Written());
}

void ClientSession::Arm(std::unique_ptr<LoopTimer>& timer, TimeSource::TimePoint deadline,
                        SessionStateMachine::Deadline which)
{
    if (!timer)
        timer = std::make_unique<LoopTimer>(io, time);
    timer->ExpiresAt(deadline);
    timer->AsyncWait([self = shared_from_this(), which](const boost::system::error_code& error) {
        if (!error)
            self->Perform(self->core.DeadlineReached(which));
    });
}

// The registry hears of it on a later turn: never from inside a call it or
// the control service made.
void ClientSession::End()
{
    boost::system::error_code ignored;
    socket.close(ignored); // a failed close leaves nothing to recover
    if (loginDeadline)
        loginDeadline->Cancel();
    if (answerDeadline)
        answerDeadline->Cancel();
    boost::asio::post(io, [self = shared_from_this()] {
        self->listener.SessionReported(self->id, SessionReport{SessionReport::Kind::Ended, nullptr, 0, {}});
    });
}

} // namespace korvel
