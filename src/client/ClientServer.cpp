#include "client/ClientServer.h"

#include "client/ControlService.h"
#include "client/OperatorMessage.h"
#include "client/OperatorProtocol.h"
#include "log/LogFile.h"
#include "log/LogText.h"
#include "platform/DescriptorLimit.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <chrono>

namespace korvel {

namespace {

constexpr std::chrono::milliseconds AcceptPauseAfterShortage{100};

// Descriptors kept for everything but the operator sessions (listener, loop,
// log, NVR connections, a camera link each, ...).
constexpr std::uint64_t DescriptorsForTheRest = 64;

// Errors that concern only the connection being accepted; the next accept
// can go ahead at once. Anything else (out of descriptors or memory, above
// all) would fail again straight away and spin the loop.
bool ConcernsOnlyThatConnection(const boost::system::error_code& error)
{
    if (error.category() != boost::system::system_category())
        return false;
#ifdef _WIN32
    // Winsock's codes for the same cases.
    switch (error.value()) {
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAEACCES:
    case WSAEINTR:
    case WSAEWOULDBLOCK:
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAENOPROTOOPT:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
    case WSAEOPNOTSUPP:
    case WSAETIMEDOUT:
        return true;
    default:
        return false;
    }
#else
    switch (error.value()) {
    case ECONNABORTED:
    case ECONNRESET:
    case EPROTO:
    case EPERM:
    case EINTR:
    case EAGAIN:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
#endif
}

boost::asio::ip::address ParseNumericAddress(const std::string& text)
{
    boost::system::error_code error;
    const auto v6 = boost::asio::ip::make_address_v6(text, error);
    if (!error)
        return v6;
    return boost::asio::ip::make_address_v4(text); // throws when neither
}

// A listener at the address and port; throws boost::system::system_error.
boost::asio::ip::tcp::acceptor Listen(boost::asio::io_context& io, const std::string& address,
                                      std::uint32_t port)
{
    const auto ip = ParseNumericAddress(address);
    if (port > 0xffff)
        throw boost::system::system_error(
            boost::system::errc::make_error_code(boost::system::errc::invalid_argument));
    const boost::asio::ip::tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    boost::asio::ip::tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(boost::asio::socket_base::max_listen_connections);
    return acceptor;
}

} // namespace

ClientServer::ClientServer(boost::asio::io_context& io, const std::string& address,
                           std::uint32_t port, ControlService& control, const UserTable& users,
                           SessionPolicy sessionPolicy)
    : io(io), acceptor(Listen(io, address, port)), acceptPause(io, control.Time()),
      control(control), users(users), policy(sessionPolicy)
{
    CapSessions();
    StartAccept();
}

void ClientServer::CapSessions()
{
    // A cap the descriptor limit cannot honour would let a flood of
    // connections starve the cameras and NVRs of descriptors after all.
    const std::uint64_t limit = RaiseDescriptorLimit();
    const std::uint64_t reserve = DescriptorsForTheRest + control.Decisions().CameraCount();
    if (limit > 0 && policy.maxSessions > 0 && policy.maxSessions + reserve > limit) {
        const std::size_t allowed = limit > reserve + 1 ? limit - reserve : 1;
        LogFile.BeginLine() << "MaxSessions=" << policy.maxSessions
                            << " needs more descriptors than the limit of " << limit
                            << " leaves; accepting at most " << allowed << " operator sessions"
                            << std::endl;
        policy.maxSessions = allowed;
    }
}

void ClientServer::SetPolicy(const SessionPolicy& next)
{
    policy = next;
    CapSessions();
}

std::string ClientServer::MoveListener(const std::string& address, std::uint32_t port)
{
    try {
        boost::asio::ip::tcp::acceptor next = Listen(io, address, port);
        acceptPause.Cancel();
        boost::system::error_code ignored;
        acceptor.close(ignored);
        acceptor = std::move(next);
    } catch (const boost::system::system_error& error) {
        return error.what();
    }
    ++listenersOpened;
    StartAccept();
    return {};
}

void ClientServer::EndSessionsOf(const std::string& userName)
{
    std::vector<std::shared_ptr<ClientSession>> revoked;
    for (const auto& registered : sessions) {
        const auto session = registered.lock();
        if (session && session->GetUserName() == userName)
            revoked.push_back(session);
    }
    for (const auto& session : revoked) {
        // Closed first, so that what the others are told is not sent to it.
        session->Revoke();
        if (session->GetConnection() != Arbitration::NoConnection)
            control.Revoke(session->GetConnection());
        SessionEnded(*session);
    }
}

void ClientServer::SetUserPriority(const std::string& userName, std::int32_t priority)
{
    for (const auto& registered : sessions) {
        const auto session = registered.lock();
        if (session && session->GetUserName() == userName)
            session->SetPriority(priority);
    }
}

ClientServer::~ClientServer()
{
    // The sessions may outlive the registry: the control service sends them
    // nothing more.
    for (const auto& registered : sessions) {
        if (const auto session = registered.lock()) {
            control.Disconnect(session->GetConnection());
            session->SetConnection(Arbitration::NoConnection);
        }
    }
    sessions.clear();
    boost::system::error_code ignored;
    acceptPause.Cancel();
    acceptor.close(ignored);
}

boost::asio::ip::tcp::endpoint ClientServer::LocalEndpoint() const
{
    return acceptor.local_endpoint();
}

void ClientServer::StartAccept()
{
    auto session = std::make_shared<ClientSession>(io, *this, lifetime.Watching());
    acceptor.async_accept(session->Socket(),
                          lifetime.Guard([this, session, listener = listenersOpened](
                                             const boost::system::error_code& error) {
                              OnAccepted(session, error, listener);
                          }));
}

void ClientServer::OnAccepted(const std::shared_ptr<ClientSession>& session,
                              const boost::system::error_code& error, std::uint64_t listener)
{
    if (error == boost::asio::error::operation_aborted)
        return; // the listener is closing
    const bool current = listener == listenersOpened;
    if (error && !ConcernsOnlyThatConnection(error)) {
        if (!current)
            return;
        acceptPause.ExpiresAfter(AcceptPauseAfterShortage);
        acceptPause.AsyncWait(
            lifetime.Guard([this, listener](const boost::system::error_code& waitError) {
                if (!waitError && listener == listenersOpened)
                    StartAccept();
            }));
        return;
    }
    if (!error) {
        const std::optional<std::chrono::milliseconds> loginTimeout =
            policy.requireLogin ? std::optional(policy.loginTimeout) : std::nullopt;
        if (liveSessions >= policy.maxSessions) {
            Refuse(*session);
        } else if (const ClientSession::Started started = session->Start(loginTimeout);
                   started.number != 0) {
            if (started.keepAliveFailure)
                KeepAliveFailed(started.keepAliveFailure);
            ++liveSessions;
            observer->SessionStarted();
            const Arbitration::ConnectionId id = control.Connect(started.number, session);
            if (id >= sessions.size())
                sessions.resize(id + 1);
            sessions[id] = session;
            session->SetConnection(id);
        }
    }
    if (current)
        StartAccept();
}

void ClientServer::Refuse(ClientSession& session)
{
    boost::system::error_code error;
    const auto remote = session.Socket().remote_endpoint(error);
    if (!refusing) {
        refusing = true;
        LogFile.BeginLine() << "Too many KorvelControl sessions (" << liveSessions
                            << "): closing new connections at once, the first from "
                            << (error ? std::string("an unknown address")
                                      : ClientAddressText(remote.address()))
                            << std::endl;
    }
    ++refusedInEpisode;
    observer->SessionRefused();
    session.Socket().close(error); // a failed close leaves nothing to recover
}

void ClientServer::KeepAliveFailed(const std::error_code& error)
{
    if (keepAliveFailureLogged)
        return;
    keepAliveFailureLogged = true;
    LogFile.BeginLine() << "Cannot turn on TCP keepalive for KorvelControl sessions: "
                        << error.message() << std::endl;
}

void ClientServer::SessionClosed(const ClientSession&)
{
    if (liveSessions > 0)
        --liveSessions;
    const std::size_t lowWater =
        policy.maxSessions > 0 ? policy.maxSessions - 1 - policy.maxSessions / 10 : 0;
    if (refusing && liveSessions <= lowWater) {
        LogFile.BeginLine() << "Accepting KorvelControl connections again; " << refusedInEpisode
                            << " closed while there were too many sessions" << std::endl;
        refusing = false;
        refusedInEpisode = 0;
    }
}

void ClientServer::SessionEnded(ClientSession& session)
{
    const Arbitration::ConnectionId id = session.GetConnection();
    if (id == Arbitration::NoConnection)
        return;
    observer->SessionEnded(session);
    control.Disconnect(id);
    sessions[id].reset();
    session.SetConnection(Arbitration::NoConnection);
}

void ClientServer::MessageArrived(ClientSession& session, const char* bytes, std::size_t count)
{
    const OperatorMessage message = ParseOperatorMessage(bytes, count);
    if (message.kind == OperatorMessage::Kind::Login) {
        LogIn(session, message.name, message.password);
        return;
    }
    if (IgnoredUntilLogin(session))
        return;
    switch (message.kind) {
    case OperatorMessage::Kind::Choose:
        control.Choose(session.GetNumber());
        return;
    case OperatorMessage::Kind::Cancel:
        control.Cancel(session.GetNumber());
        return;
    case OperatorMessage::Kind::CameraCommand:
        // A session that has left steers nothing.
        if (session.GetConnection() != Arbitration::NoConnection &&
            !control.Steer(session.GetConnection(), session.GetPriority(), message.pelcoAddress,
                           bytes, count))
            LogFile.BeginLine() << "Unknown Pelco camera ID " << message.pelcoAddress << std::endl;
        return;
    case OperatorMessage::Kind::Login:
        break;
    }
}

void ClientServer::LogIn(ClientSession& session, const std::string& name,
                         const std::string& password)
{
    const auto user = users.find(name);
    if (user == users.end() ||
        (!user->second.password.empty() && user->second.password != password)) {
        if (policy.throttleLogins) {
            if (const auto due =
                    loginThrottle.Failed(session.GetClientAddress(), LoginThrottle::Clock::now())) {
                observer->LoginThrottled();
                session.RefuseLoginAt(name, *due);
                return;
            }
        }
        RefuseLogin(session, name);
        return;
    }
    loginThrottle.Passed(session.GetClientAddress());
    session.LogIn(name, user->second.priority);
    if (session.GetConnection() != Arbitration::NoConnection)
        control.LogIn(session.GetConnection(), name);
    observer->LoginAnswered(session, name, true, true);
    LogFile.BeginLine() << "Login from " << session.GetClientAddress() << " by user "
                        << LogSafe(name) << " with priority " << session.GetPriority() << std::endl;
    session.Reply(OperatorProtocol::LoginAccepted);
}

void ClientServer::LoginRefusalDue(ClientSession& session, const std::string& name)
{
    RefuseLogin(session, name);
}

void ClientServer::RefuseLogin(ClientSession& session, const std::string& name)
{
    observer->LoginAnswered(session, name, false, users.count(name) > 0);
    LogFile.BeginLine() << "Failed login from " << session.GetClientAddress() << " by user "
                        << LogSafe(name) << std::endl;
    session.Reply(OperatorProtocol::LoginRefused);
}

bool ClientServer::IgnoredUntilLogin(ClientSession& session)
{
    if (!session.LoginRequired() || session.LoggedIn())
        return false;
    if (session.FirstIgnoredCommand()) {
        LogFile.BeginLine() << "Ignoring commands from session " << session.GetNumber() << " at "
                            << session.GetClientAddress() << " until it logs in" << std::endl;
    }
    return true;
}

} // namespace korvel
