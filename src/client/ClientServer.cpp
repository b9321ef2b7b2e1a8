#include "client/ClientServer.h"

#include "camera/TrackCamera.h"
#include "client/ClientSession.h"
#include "log/LogFile.h"
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

std::vector<Arbitration::Camera> ArbitratedCameras(const CameraTable& cameras)
{
    std::vector<Arbitration::Camera> list;
    for (const auto& entry : cameras)
        list.push_back({entry.first, entry.second->GetPelcoNumber(),
                        std::chrono::seconds(entry.second->GetLockTimeSecs())});
    return list;
}

boost::asio::ip::address ParseNumericAddress(const std::string& text)
{
    boost::system::error_code error;
    const auto v6 = boost::asio::ip::make_address_v6(text, error);
    if (!error)
        return v6;
    return boost::asio::ip::make_address_v4(text); // throws when neither
}

} // namespace

ClientServer::ClientServer(boost::asio::io_context& io, const std::string& address,
                           std::uint32_t port, CameraTable& cameras, UserTable& users,
                           SessionPolicy sessionPolicy)
    : io(io), acceptor(io), acceptPause(io), users(users), policy(sessionPolicy),
      arbitration(ArbitratedCameras(cameras)), holdTimer(io)
{
    const auto ip = ParseNumericAddress(address);
    if (port > 0xffff)
        throw boost::system::system_error(
            boost::system::errc::make_error_code(boost::system::errc::invalid_argument));
    const boost::asio::ip::tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol());
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(boost::asio::socket_base::max_listen_connections);

    for (const auto& entry : cameras)
        cameraList.push_back(entry.second.get());
    refusedCommands.resize(cameraList.size());
    nvrCameraIds.resize(cameraList.size());

    // A cap the descriptor limit cannot honour would let a flood of
    // connections starve the cameras and NVRs of descriptors after all.
    const std::uint64_t limit = RaiseDescriptorLimit();
    const std::uint64_t reserve = DescriptorsForTheRest + cameras.size();
    if (limit > 0 && policy.maxSessions > 0 && policy.maxSessions + reserve > limit) {
        const std::size_t allowed = limit > reserve + 1 ? limit - reserve : 1;
        LogFile.BeginLine() << "MaxSessions=" << policy.maxSessions
                            << " needs more descriptors than the limit of " << limit
                            << " leaves; accepting at most " << allowed << " operator sessions"
                            << std::endl;
        policy.maxSessions = allowed;
    }

    StartAccept();
}

ClientServer::~ClientServer()
{
    connections.clear();
    boost::system::error_code ignored;
    acceptPause.cancel(ignored);
    holdTimer.cancel(ignored);
    acceptor.close(ignored);
}

boost::asio::ip::tcp::endpoint ClientServer::LocalEndpoint() const
{
    return acceptor.local_endpoint();
}

void ClientServer::StartAccept()
{
    auto session = std::make_shared<ClientSession>(io, *this);
    acceptor.async_accept(session->Socket(),
                          lifetime.Guard([this, session](const boost::system::error_code& error) {
                              OnAccepted(session, error);
                          }));
}

void ClientServer::OnAccepted(const std::shared_ptr<ClientSession>& session,
                              const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return; // the listener is closing
    if (error && !ConcernsOnlyThatConnection(error)) {
        acceptPause.expires_after(AcceptPauseAfterShortage);
        acceptPause.async_wait(lifetime.Guard([this](const boost::system::error_code& waitError) {
            if (!waitError)
                StartAccept();
        }));
        return;
    }
    if (!error) {
        if (liveSessions >= policy.maxSessions) {
            Refuse(*session);
        } else if (const std::uint16_t number = session->Start()) {
            ++liveSessions;
            ++counters.sessionsAccepted;
            // A connection with the same number replaces the session filed
            // under it, which then hears no more announcements.
            const Arbitration::ConnectionId id = arbitration.Connect(number);
            if (id >= connections.size())
                connections.resize(id + 1);
            connections[id] = session;
            session->SetConnection(id);
        }
    }
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
    session.Socket().close(error); // a failed close leaves nothing to recover
}

void ClientServer::OnSessionEnded()
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

void ClientServer::KeepAliveFailed(const std::error_code& error)
{
    if (keepAliveFailureLogged)
        return;
    keepAliveFailureLogged = true;
    LogFile.BeginLine() << "Cannot turn on TCP keepalive for KorvelControl sessions: "
                        << error.message() << std::endl;
}

std::optional<Arbitration::Clock::time_point>
ClientServer::FailedLoginReplyTime(const ClientSession& session)
{
    if (!policy.throttleLogins)
        return std::nullopt;
    const auto due = loginThrottle.Failed(session.GetClientAddress(), Arbitration::Clock::now());
    if (due)
        ++counters.loginsThrottled;
    return due;
}

void ClientServer::LoginPassed(const ClientSession& session)
{
    loginThrottle.Passed(session.GetClientAddress());
}

std::shared_ptr<ClientSession> ClientServer::FindSession(std::uint16_t sessionId) const
{
    const Arbitration::ConnectionId id = arbitration.Registered(sessionId);
    return id == Arbitration::NoConnection ? nullptr : connections[id].lock();
}

void ClientServer::SessionLoggedIn(const ClientSession& session)
{
    if (session.GetConnection() != Arbitration::NoConnection)
        arbitration.LogIn(session.GetConnection(), session.GetUserName());
}

void ClientServer::RemoveSession(ClientSession& session)
{
    const Arbitration::ConnectionId id = session.GetConnection();
    if (id == Arbitration::NoConnection)
        return;
    AuditSessionEnd(session);
    arbitration.Disconnect(id);
    connections[id].reset();
    session.SetConnection(Arbitration::NoConnection);
}

} // namespace korvel
