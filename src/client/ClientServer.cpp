#include "client/ClientServer.h"

#include "client/ControlService.h"
#include "client/OperatorMessage.h"
#include "client/OperatorProtocol.h"
#include "log/LogFile.h"
#include "platform/DescriptorLimit.h"
#include "platform/DirectoryLogin.h"
#include "platform/PasswordCheck.h"

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

std::optional<SessionFacts> ClientServer::FindSession(SessionNumber number) const
{
    for (const ConnectionId id : connections.Ids()) {
        const OperatorConnection& connection = connections[id];
        if (connection.number == number)
            return SessionFacts{number, UserOrNone(connection.userName), connection.priority};
    }
    return std::nullopt;
}

void ClientServer::EndSession(SessionNumber number)
{
    for (const ConnectionId id : connections.Ids())
        if (connections[id].live && connections[id].number == number)
            connections[id].session->Revoke();
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
    // Nobody waits for these answers any more (a session's check goes with it).
    for (auto& [number, pending] : checks)
        pending.calls->Cancel(pending.ticket);
    checks.clear();
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
    const LoginDesk::Verdict verdict = desk.Login(connections[connection], name, password, time.Now());
    if (verdict.kind == LoginDesk::Verdict::Kind::Check)
        return StartCheck(connection, name, password, *verdict.check);
    return Answer(connection, name, verdict);
}

SessionAnswer ClientServer::Answer(ConnectionId connection, const std::string& name,
                                   const LoginDesk::Verdict& verdict)
{
    WriteLine(verdict.notice);
    const OperatorConnection& from = connections[connection];
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
    case LoginDesk::Verdict::Kind::Check: // never carried out
        return Refuse(connection, verdict, name);
    case LoginDesk::Verdict::Kind::Passed:
        break;
    }
    // verdict.supervisor waits for the supervisor right to be given by it.
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

SessionAnswer ClientServer::StartCheck(ConnectionId connection, const std::string& name,
                                       const std::string& password,
                                       const LoginDesk::Verdict::Check& check)
{
    auto decide = [this, connection, name, check](const LoginDesk::CheckResult& result) {
        return Answer(connection, name,
                      desk.Checked(connections[connection], name, check, result, time.Now()));
    };
    if (!RunCheck(name, password, check, connection,
                  [this, connection, decide](const LoginDesk::CheckResult& result) {
                      connections[connection].session->Answer(decide(result));
                  }))
        return decide(LoginDesk::CheckResult{LoginDesk::CheckResult::Kind::Busy, {}});
    SessionAnswer held;
    held.kind = SessionAnswer::Kind::HoldBack;
    held.name = name;
    return held;
}

void ClientServer::SupervisorLogin(const std::string& clientAddress, const std::string& name,
                                   const std::string& password,
                                   std::function<void(const LoginDesk::Verdict&)> decided)
{
    const LoginDesk::Verdict verdict =
        desk.SupervisorLogin(clientAddress, name, password, time.Now());
    if (verdict.kind != LoginDesk::Verdict::Kind::Check) {
        decided(verdict);
        return;
    }
    auto ended = [this, clientAddress, name, check = *verdict.check,
                  decided](const LoginDesk::CheckResult& result) {
        decided(desk.SupervisorChecked(clientAddress, name, check, result, time.Now()));
    };
    if (!RunCheck(name, password, *verdict.check, NoConnection, ended))
        ended(LoginDesk::CheckResult{LoginDesk::CheckResult::Kind::Busy, {}});
}

bool ClientServer::RunCheck(const std::string& name, const std::string& password,
                            const LoginDesk::Verdict::Check& check, ConnectionId connection,
                            std::function<void(const LoginDesk::CheckResult&)> ended)
{
    const bool directory = check.kind == LoginDesk::Verdict::Check::Kind::Directory;
    std::unique_ptr<BlockingCalls>& calls = directory ? directoryChecks : hashChecks;
    if (!calls)
        calls = std::make_unique<BlockingCalls>(io, directory ? DirectoryThreads : HashThreads,
                                                MaxWaitingChecks);
    const std::uint64_t number = ++checksStarted;
    auto call = [this, number, check, name, password]() -> BlockingCalls::Completion {
        LoginDesk::CheckResult result;
        if (check.kind == LoginDesk::Verdict::Check::Kind::Directory) {
            result.kind = LoginDesk::CheckResult::Kind::Directory;
            result.answer = CheckDirectoryAccount(check.service, name, password);
        } else {
            result.kind = PasswordMatchesHash(password, check.hash)
                              ? LoginDesk::CheckResult::Kind::HashMatched
                              : LoginDesk::CheckResult::Kind::HashDiffers;
        }
        // Run on the loop, and only while the registry is there (the pool
        // goes with it, and drops completions once gone).
        return [this, number, result] { CheckEnded(number, result); };
    };
    const std::optional<BlockingCalls::Ticket> ticket = calls->Run(std::move(call));
    if (!ticket)
        return false;
    PendingCheck& pending = checks[number];
    pending.connection = connection;
    pending.ended = std::move(ended);
    pending.calls = calls.get();
    pending.ticket = *ticket;
    pending.deadline = std::make_unique<LoopTimer>(io, time);
    pending.deadline->ExpiresAfter(LoginDesk::CheckDeadline);
    pending.deadline->AsyncWait(lifetime.Guard([this, number](const boost::system::error_code& error) {
        if (error)
            return;
        LoginDesk::CheckResult late;
        late.kind = LoginDesk::CheckResult::Kind::TimedOut;
        CheckEnded(number, late);
    }));
    return true;
}

void ClientServer::CheckEnded(std::uint64_t checkNumber, const LoginDesk::CheckResult& result)
{
    const auto found = checks.find(checkNumber);
    if (found == checks.end() || closed)
        return; // answered already (its deadline came first), or the session has gone
    PendingCheck pending = std::move(found->second);
    checks.erase(found);
    pending.calls->Cancel(pending.ticket);
    pending.deadline->Cancel();
    pending.ended(result);
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
    for (auto check = checks.begin(); check != checks.end();) {
        if (check->second.connection != connection) {
            ++check;
            continue;
        }
        check->second.calls->Cancel(check->second.ticket);
        check = checks.erase(check);
    }
    const OperatorConnection& gone = connections[connection];
    if (!closed) {
        observer->SessionEnded({gone.number, UserOrNone(gone.userName), gone.clientAddress});
        control.ConnectionEnded(connection);
    }
    connections.Remove(connection);
    const std::string line = cap.Left(connection, connections.Count());
    if (!closed)
        WriteLine(line);
}

} // namespace korvel
