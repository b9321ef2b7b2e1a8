#include "korvelctl/OperatorClient.h"

#include "common/PelcoCommand.h"
#include "common/PelcoDecoder.h"
#include "korvelctl/ServiceMessages.h"
#include "text/OutsideText.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include <iostream>

namespace korvel {

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

const std::chrono::milliseconds FirstRetry{100};
const std::chrono::milliseconds LongestRetry{2000};
// A connection attempt to a peer that does not answer (its address not yet
// taken over) is given up after this and tried again.
const std::chrono::milliseconds AttemptTimeout{2000};

// Dead-peer detection for reconnecting clients: keep-alive probes after 2 s
// of silence, 1 s apart, 2 unanswered end the connection; data left
// unacknowledged for 4 s ends it too.
const int KeepAliveIdleSeconds = 2;
const int KeepAliveIntervalSeconds = 1;
const int KeepAliveProbes = 2;
const int UnacknowledgedLimitMs = 4000;

template <int Level, int Name>
using IntOption = boost::asio::detail::socket_option::integer<Level, Name>;

void WatchForDeadPeer(tcp::socket& socket)
{
    error_code ignored;
    socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPIDLE>(KeepAliveIdleSeconds), ignored);
    socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPINTVL>(KeepAliveIntervalSeconds), ignored);
    socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPCNT>(KeepAliveProbes), ignored);
#endif
#ifdef TCP_USER_TIMEOUT
    socket.set_option(IntOption<IPPROTO_TCP, TCP_USER_TIMEOUT>(UnacknowledgedLimitMs), ignored);
#endif
}

} // namespace

OperatorClient::OperatorClient(boost::asio::io_context& io, const Options& options)
    : options(options), resolver(io), socket(io), pauseTimer(io), answerTimer(io), retryTimer(io)
{}

void OperatorClient::Start()
{
    resolver.async_resolve(options.host, options.port,
                           [this](const error_code& error, tcp::resolver::results_type endpoints) {
                               OnResolved(error, endpoints);
                           });
}

void OperatorClient::Add(const std::vector<OperatorCommand>& commands)
{
    queue.insert(queue.end(), commands.begin(), commands.end());
    Next();
}

void OperatorClient::EndOfInput()
{
    inputEnded = true;
    Next();
}

void OperatorClient::OnResolved(const error_code& error,
                                const tcp::resolver::results_type& endpoints)
{
    if (finished)
        return;
    if (error) {
        Finish(ConnectionLost, "cannot find " + options.host + ": " + error.message());
        return;
    }
    boost::asio::async_connect(
        socket, endpoints,
        [this](const error_code& error, const tcp::endpoint&) { OnConnected(error); });
}

std::string OperatorClient::Address() const
{
    return EscapedText(options.host) + ":" + EscapedText(options.port);
}

void OperatorClient::OnConnected(const error_code& error)
{
    if (finished)
        return;
    if (error) {
        Finish(ConnectionLost,
               "cannot connect to " + options.host + ":" + options.port + ": " + error.message());
        return;
    }
    everConnected = true;
    error_code ignored;
    peer = socket.remote_endpoint(ignored);
    Print("connected to " + Address());
    Established();
}

void OperatorClient::Established()
{
    connected = true;
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    if (options.reconnect)
        WatchForDeadPeer(socket);
    Await(Awaiting::Greeting);
    Read();
}

void OperatorClient::Read()
{
    socket.async_read_some(
        boost::asio::buffer(readBuffer),
        [this, current = generation](const error_code& error, std::size_t length) {
            if (current == generation)
                OnRead(error, length);
        });
}

void OperatorClient::OnRead(const error_code& error, std::size_t length)
{
    if (finished)
        return;
    if (error) {
        Dropped(error == boost::asio::error::eof ? "the service closed the connection"
                                                 : "connection lost: " + error.message());
        return;
    }
    ExpectedAnswers expected;
    expected.greeting = awaiting == Awaiting::Greeting;
    expected.loginAnswer = awaiting == Awaiting::LoginAnswer;
    for (const std::string& message :
         SplitServiceMessages(std::string(readBuffer.data(), length), expected)) {
        Show(message);
        if (finished)
            return;
    }
    Read();
}

void OperatorClient::Show(const std::string& message)
{
    const ServiceNotice notice = ReadServiceMessage(message);
    Print(RenderNotice(notice, options.colour));
    switch (notice.kind) {
    case ServiceNotice::Kind::Session:
        if (awaiting == Awaiting::Greeting) {
            if (restoring)
                Restore();
            else
                Answered();
        }
        break;
    case ServiceNotice::Kind::LoginRefused:
        if (options.scripted) {
            Finish(LoginRefused, "login refused");
            return;
        }
        [[fallthrough]];
    case ServiceNotice::Kind::LoginAccepted:
        if (notice.kind == ServiceNotice::Kind::LoginAccepted)
            acceptedLogin = sentLogin;
        if (awaiting == Awaiting::LoginAnswer) {
            if (restoring)
                Restored();
            else
                Answered();
        }
        break;
    case ServiceNotice::Kind::Camera:
        // The service now counts this session as working with that camera.
        if (notice.pelcoNumber >= 0 && notice.pelcoNumber != camera) {
            camera = notice.pelcoNumber;
            Print("steering camera " + std::to_string(camera));
        }
        break;
    default:
        break;
    }
}

void OperatorClient::Next()
{
    while (!finished && connected && !writing && !pausing && awaiting == Awaiting::Nothing) {
        if (queue.empty()) {
            if (inputEnded && !lingering) {
                lingering = true;
                Pause(options.linger);
            }
            return;
        }
        const OperatorCommand command = queue.front();
        queue.pop_front();
        switch (command.kind) {
        case OperatorCommand::Kind::Help:
            Print("commands:\n" + std::string(CommandHelp));
            break;
        case OperatorCommand::Kind::Quit:
            queue.clear();
            inputEnded = true;
            break;
        case OperatorCommand::Kind::Camera:
            camera = command.number;
            Print("steering camera " + std::to_string(camera));
            break;
        case OperatorCommand::Kind::Sleep:
            Pause(command.sleep);
            return;
        default:
            Send(command);
            return;
        }
    }
}

void OperatorClient::Send(const OperatorCommand& command)
{
    outgoing = MessageFor(command, camera);
    Print(DescribeSent(command, outgoing));
    writing = true;
    // The answer may be read before this write's completion is seen.
    if (command.kind == OperatorCommand::Kind::Login) {
        sentLogin = command;
        Await(Awaiting::LoginAnswer);
    }
    boost::asio::async_write(socket, boost::asio::buffer(outgoing),
                             [this, current = generation](const error_code& error, std::size_t) {
                                 if (current == generation)
                                     OnWritten(error);
                             });
}

void OperatorClient::OnWritten(const error_code& error)
{
    writing = false;
    if (finished)
        return;
    if (error) {
        Dropped("connection lost: " + error.message());
        return;
    }
    // A LOGIN sent again after a reconnection may come during a sleep: the
    // sleep goes on, and its end lets the queue go on.
    if (!pausing)
        Pause(options.gap);
}

void OperatorClient::Dropped(const std::string& reason)
{
    if (!options.reconnect || !everConnected) {
        Finish(ConnectionLost, reason);
        return;
    }
    ++generation;
    error_code ignored;
    socket.close(ignored);
    connected = false;
    writing = false;
    awaiting = Awaiting::Nothing;
    answerTimer.cancel();
    restoring = true;
    attempts = 0;
    Print(reason + "; reconnecting to " + Address());
    ScheduleReconnect();
}

void OperatorClient::ScheduleReconnect()
{
    const auto delay = std::min(LongestRetry, FirstRetry * (1 << std::min(attempts, 5)));
    ++attempts;
    retryTimer.expires_after(delay);
    retryTimer.async_wait([this, current = generation](const error_code& error) {
        if (!finished && !error && current == generation)
            Reconnect();
    });
}

void OperatorClient::Reconnect()
{
    error_code ignored;
    socket.close(ignored);
    socket.open(peer.protocol(), ignored);
    socket.async_connect(peer, [this, current = generation](const error_code& error) {
        if (current == generation)
            OnReconnected(error);
    });
    // The attempt's deadline: closing the socket ends the attempt with an error.
    retryTimer.expires_after(AttemptTimeout);
    retryTimer.async_wait([this, current = generation](const error_code& error) {
        if (!error && current == generation && !connected) {
            error_code ignored;
            socket.close(ignored);
        }
    });
}

void OperatorClient::OnReconnected(const error_code& error)
{
    if (finished)
        return;
    if (error) {
        ++generation; // the attempt's deadline is stale now
        ScheduleReconnect();
        return;
    }
    retryTimer.cancel();
    Print("reconnected to " + Address());
    Established();
}

// The greeting of a new connection came: log in again as before.
void OperatorClient::Restore()
{
    awaiting = Awaiting::Nothing;
    answerTimer.cancel();
    if (acceptedLogin && !writing) {
        Send(*acceptedLogin);
        return;
    }
    Restored();
}

void OperatorClient::Restored()
{
    restoring = false;
    awaiting = Awaiting::Nothing;
    answerTimer.cancel();
    Print("steering camera " + std::to_string(camera));
    Next();
}

void OperatorClient::Pause(std::chrono::milliseconds duration)
{
    pausing = true;
    pauseTimer.expires_after(duration);
    pauseTimer.async_wait([this](const error_code& error) {
        if (finished || error == boost::asio::error::operation_aborted)
            return;
        pausing = false;
        if (lingering)
            Finish(Success, "");
        else
            Next();
    });
}

void OperatorClient::Await(Awaiting what)
{
    awaiting = what;
    answerTimer.expires_after(options.answerTimeout);
    answerTimer.async_wait([this](const error_code& error) { OnAnswerTimer(error); });
}

void OperatorClient::OnAnswerTimer(const error_code& error)
{
    // A wait that ended just as the answer came, or that a newer wait
    // replaced, is stale.
    if (finished || error == boost::asio::error::operation_aborted ||
        awaiting == Awaiting::Nothing ||
        answerTimer.expiry() > boost::asio::steady_timer::clock_type::now())
        return;
    const std::string what =
        awaiting == Awaiting::Greeting ? "no greeting from the service" : "no answer to LOGIN";
    if (options.reconnect && awaiting == Awaiting::Greeting) {
        Dropped(what);
        return;
    }
    if (options.scripted) {
        Finish(ConnectionLost, what);
        return;
    }
    std::cerr << "korvelctl: " << what << std::endl;
    if (restoring)
        Restored();
    else
        Answered();
}

void OperatorClient::Answered()
{
    awaiting = Awaiting::Nothing;
    answerTimer.cancel();
    Next();
}

void OperatorClient::Finish(int status, const std::string& reason)
{
    if (finished)
        return;
    finished = true;
    exitStatus = status;
    if (!reason.empty())
        std::cerr << "korvelctl: " << EscapedText(reason) << std::endl;
    error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    resolver.cancel();
    pauseTimer.cancel();
    answerTimer.cancel();
    retryTimer.cancel();
}

void OperatorClient::Print(const std::string& line) const
{
    std::cout << line << std::endl;
}

std::string OperatorClient::DescribeSent(const OperatorCommand& command, const Bytes& bytes) const
{
    switch (command.kind) {
    case OperatorCommand::Kind::Login:
        return "sent LOGIN " + EscapedText(command.name) +
               (command.password.empty() ? "" : " with a password");
    case OperatorCommand::Kind::Choose:
        return "sent CHOOSE";
    case OperatorCommand::Kind::Cancel:
        return "sent CANCEL";
    default:
        break;
    }
    std::string text = "sent " + HexBytes(bytes);
    PelcoDecoder decoder;
    const auto events = decoder.Feed(bytes);
    if (events.size() == 1 && events[0].kind == PelcoEvent::Kind::Frame) {
        const PelcoCommand pelco = InterpretPelco(events[0].protocol, events[0].bytes);
        text += " (" + std::string(PelcoName(pelco.protocol)) + " to camera " +
                std::to_string(pelco.camera) + ": " + DescribePelco(pelco) + ")";
    }
    return text;
}

} // namespace korvel
