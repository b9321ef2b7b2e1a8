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

OperatorClient::OperatorClient(boost::asio::io_context& io, const Options& options)
    : options(options), resolver(io), socket(io), pauseTimer(io), answerTimer(io)
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

void OperatorClient::OnConnected(const error_code& error)
{
    if (finished)
        return;
    if (error) {
        Finish(ConnectionLost,
               "cannot connect to " + options.host + ":" + options.port + ": " + error.message());
        return;
    }
    connected = true;
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    Print("connected to " + EscapedText(options.host) + ":" + EscapedText(options.port));
    Await(Awaiting::Greeting);
    Read();
}

void OperatorClient::Read()
{
    socket.async_read_some(
        boost::asio::buffer(readBuffer),
        [this](const error_code& error, std::size_t length) { OnRead(error, length); });
}

void OperatorClient::OnRead(const error_code& error, std::size_t length)
{
    if (finished)
        return;
    if (error) {
        Finish(ConnectionLost, error == boost::asio::error::eof
                                   ? "the service closed the connection"
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
        if (awaiting == Awaiting::Greeting)
            Answered();
        break;
    case ServiceNotice::Kind::LoginRefused:
        if (options.scripted) {
            Finish(LoginRefused, "login refused");
            return;
        }
        [[fallthrough]];
    case ServiceNotice::Kind::LoginAccepted:
        if (awaiting == Awaiting::LoginAnswer)
            Answered();
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
    if (command.kind == OperatorCommand::Kind::Login)
        Await(Awaiting::LoginAnswer);
    boost::asio::async_write(socket, boost::asio::buffer(outgoing),
                             [this](const error_code& error, std::size_t) { OnWritten(error); });
}

void OperatorClient::OnWritten(const error_code& error)
{
    writing = false;
    if (finished)
        return;
    if (error) {
        Finish(ConnectionLost, "connection lost: " + error.message());
        return;
    }
    Pause(options.gap);
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
    if (options.scripted) {
        Finish(ConnectionLost, what);
        return;
    }
    std::cerr << "korvelctl: " << what << std::endl;
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
