#include "client/ClientServer.h"

#include "client/ControlService.h"
#include "client/OperatorMessage.h"
#include "client/OperatorProtocol.h"
#include "log/LogFile.h"
#include "platform/DescriptorLimit.h"

#include <memory>
#include <utility>

namespace korvel {

namespace {

// Descriptors kept for everything but the operator sessions (listener, loop,
// log, NVR connections, ...), besides one for each camera link.
constexpr std::uint64_t DescriptorsForTheRest = 64;

void WriteLine(const std::string& line)
{
    if (!line.empty())
        LogFile.BeginLine() << line << std::endl;
}

Notification Reply(std::string_view text)
{
    return std::make_shared<const std::string>(text);
}

const Notification& LoginAccepted()
{
    static const Notification text = Reply(OperatorProtocol::LoginAccepted);
    return text;
}

const Notification& LoginRefused()
{
    static const Notification text = Reply(OperatorProtocol::LoginRefused);
    return text;
}

} // namespace

ClientServer::ClientServer(boost::asio::io_context& io, TimeSource& time,
                           ConnectionTable& table, ControlService& control,
                           const UserTable& users, const SessionPolicy& policy)
    : io(io), time(time), connections(table), control(control), port(io, time, *this),
      desk(users, policy), cap(policy.maxSessions)
{}

std::string ClientServer::Listen(const std::string& address, std::uint32_t portNumber)
{
    std::string failure = port.Listen(address, portNumber);
    if (failure.empty() && !listening) {
        listening = true;
        WriteLine(FitCap(cap.Max()));
    }
    return failure;
}

std::string ClientServer::FitCap(std::size_t maxSessions)
{
    return cap.Configure(maxSessions, RaiseDescriptorLimit(),
                         DescriptorsForTheRest + control.CamerasInUse());
}

void ClientServer::SetPolicy(const SessionPolicy& next)
{
    desk.SetPolicy(next);
    WriteLine(FitCap(next.maxSessions));
}

void ClientServer::EndSessionsOf(const std::string& userName)
{
    for (const ConnectionId id : connections.LoggedInAs(userName)) {
        // Ended first, so that what the others are told is not sent to it.
        connections[id].session->Revoke();
        control.Revoke(id);
    }
}

void ClientServer::SetUserPriority(const std::string& userName, Priority priority)
{
    for (const ConnectionId id : connections.LoggedInAs(userName))
        connections.SetPriority(id, priority);
}

void ClientServer::Close()
{
    closed = true;
    port.Close();
    for (const ConnectionId id : connections.Ids())
        connections[id].session->Close();
}

void ClientServer::Accepted(boost::asio::ip::tcp::socket socket,
                            const boost::asio::ip::tcp::endpoint& remote)
{
    // A connection refused keeps its socket here, closed as it goes.
    Arrived(remote.port(), ClientAddressText(remote.address()), [&] {
        return std::make_shared<ClientSession>(io, time, std::move(socket), *this);
    });
}

bool ClientServer::Arrived(SessionNumber number, const std::string& address,
                           const std::function<std::shared_ptr<SessionTransport>()>& make)
{
    const SessionCap::Arrival arrival = cap.Arrived(connections.Count(), address);
    WriteLine(arrival.logLine);
    if (!arrival.admitted) {
        observer->SessionRefused();
        return false;
    }
    if (arrival.evict != NoConnection) {
        // Closed now; it leaves the table when its end is reported.
        observer->SessionEvicted();
        connections[arrival.evict].session->Close();
    }
    const TimeSource::TimePoint now = time.Now();
    const std::shared_ptr<SessionTransport> session = make();
    const ConnectionId id = connections.Add(number, address, desk.LoginRequired(), session, now);
    cap.Waiting(id, address, now);
    observer->SessionStarted();
    const std::error_code keepAliveFailure =
        session->Start(id, number, address, desk.LoginDeadline(now));
    if (keepAliveFailure && !keepAliveFailureLogged) {
        keepAliveFailureLogged = true;
        LogFile.BeginLine() << "Cannot turn on TCP keepalive for KorvelControl sessions: "
                            << keepAliveFailure.message() << std::endl;
    }
    return true;
}

SessionAnswer ClientServer::SessionReported(ConnectionId connection, const SessionReport& report)
{
    switch (report.kind) {
    case SessionReport::Kind::Message:
        return MessageArrived(connection, report.bytes, report.count);
    case SessionReport::Kind::AnswerDue:
        return Refuse(connection, desk.Refused(connections[connection], report.name), report.name);
    case SessionReport::Kind::Ended:
        Ended(connection);
        break;
    }
    return {};
}

SessionAnswer ClientServer::MessageArrived(ConnectionId connection, const char* bytes,
                                           std::size_t count)
{
    const OperatorConnection& from = connections[connection];
    const TimeSource::TimePoint now = time.Now();
    connections.Spoke(connection, now);
    if (!from.LoggedIn())
        cap.Waiting(connection, from.clientAddress, now);
    const OperatorMessage message = ParseOperatorMessage(bytes, count);
    if (message.kind == OperatorMessage::Kind::Login)
        return LogIn(connection, message.name, message.password);
    const LoginDesk::Gate gate = desk.Admits(from);
    if (!gate.logLine.empty()) {
        connections.NoteIgnoredCommandLogged(connection);
        switch (ignoredCommandLines.Take(from.clientAddress, now)) {
        case LineBudget::Verdict::Log:
            WriteLine(gate.logLine);
            break;
        case LineBudget::Verdict::LogWithNote:
            WriteLine(LineBudget::WithNote(gate.logLine, from.clientAddress));
            break;
        case LineBudget::Verdict::Skip:
            observer->LineNotLogged(OperatorEvents::LineKind::IgnoredCommands);
            break;
        }
    }
    if (!gate.ignored)
        control.Handle(connection, message, bytes, count);
    return {};
}

SessionAnswer ClientServer::LogIn(ConnectionId connection, const std::string& name,
                                  const std::string& password)
{
    const OperatorConnection& from = connections[connection];
    const LoginDesk::Verdict verdict = desk.Login(from, name, password, time.Now());
    switch (verdict.kind) {
    case LoginDesk::Verdict::Kind::HeldBack: {
        observer->LoginThrottled();
        SessionAnswer held;
        held.kind = SessionAnswer::Kind::HoldBack;
        held.due = verdict.due;
        held.name = name;
        return held;
    }
    case LoginDesk::Verdict::Kind::Refused:
        return Refuse(connection, verdict, name);
    case LoginDesk::Verdict::Kind::Passed:
        break;
    }
    connections.LogIn(connection, name, verdict.priority);
    cap.Served(connection);
    observer->LoginAnswered({from.number, from.clientAddress, name, true, true, verdict.priority});
    WriteLine(verdict.logLine);
    SessionAnswer passed;
    passed.kind = SessionAnswer::Kind::Reply;
    passed.text = LoginAccepted();
    passed.loggedInAs = name;
    return passed;
}

SessionAnswer ClientServer::Refuse(ConnectionId connection, const LoginDesk::Verdict& verdict,
                                   const std::string& name)
{
    const OperatorConnection& from = connections[connection];
    observer->LoginAnswered(
        {from.number, from.clientAddress, name, false, verdict.knownName, from.priority});
    WriteLine(verdict.logLine);
    SessionAnswer refused;
    refused.kind = SessionAnswer::Kind::Reply;
    refused.text = LoginRefused();
    return refused;
}

void ClientServer::Ended(ConnectionId connection)
{
    const OperatorConnection& gone = connections[connection];
    if (!closed)
        observer->SessionEnded({gone.number, UserOrNone(gone.userName), gone.clientAddress});
    connections.Remove(connection);
    const std::string line = cap.Left(connection, connections.Count());
    if (!closed)
        WriteLine(line);
}

} // namespace korvel
