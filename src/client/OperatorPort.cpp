#include "client/OperatorPort.h"

#include "loop/TcpListen.h"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <chrono>
#include <memory>
#include <utility>

namespace korvel {

namespace {

constexpr std::chrono::milliseconds AcceptPauseAfterShortage{100};

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

// One accept's connection and the address it came from.
struct Incoming
{
    explicit Incoming(boost::asio::io_context& io) : socket(io) {}
    boost::asio::ip::tcp::socket socket;
    boost::asio::ip::tcp::endpoint remote;
};

} // namespace

OperatorPort::OperatorPort(boost::asio::io_context& io, TimeSource& time, Listener& listener)
    : io(io), listener(listener), acceptor(io), acceptPause(io, time)
{}

std::string OperatorPort::Listen(const std::string& address, std::uint32_t port)
{
    Listening next = ListenOn(io, address, port);
    if (!next.failure.empty())
        return next.failure;
    acceptPause.Cancel();
    boost::system::error_code ignored;
    acceptor.close(ignored);
    acceptor = std::move(next.acceptor);
    ++listenersOpened;
    StartAccept();
    return {};
}

boost::asio::ip::tcp::endpoint OperatorPort::LocalEndpoint() const
{
    boost::system::error_code ignored;
    return acceptor.local_endpoint(ignored);
}

void OperatorPort::Close()
{
    ++listenersOpened; // no accept under way starts another
    acceptPause.Cancel();
    boost::system::error_code ignored;
    acceptor.close(ignored);
}

void OperatorPort::StartAccept()
{
    auto incoming = std::make_shared<Incoming>(io);
    acceptor.async_accept(
        incoming->socket, incoming->remote,
        lifetime.Guard([this, incoming, number = listenersOpened](
                           const boost::system::error_code& error) {
            OnAccepted(error, std::move(incoming->socket), incoming->remote, number);
        }));
}

// An accept of an earlier listener (one a move replaced) still serves the
// connection it brought, but starts no further accept.
void OperatorPort::OnAccepted(const boost::system::error_code& error,
                              boost::asio::ip::tcp::socket socket,
                              const boost::asio::ip::tcp::endpoint& remote,
                              std::uint64_t number)
{
    if (error == boost::asio::error::operation_aborted)
        return; // the listener is closing
    const bool current = number == listenersOpened;
    if (error && !ConcernsOnlyThatConnection(error)) {
        if (!current)
            return;
        acceptPause.ExpiresAfter(AcceptPauseAfterShortage);
        acceptPause.AsyncWait(
            lifetime.Guard([this, number](const boost::system::error_code& waitError) {
                if (!waitError && number == listenersOpened)
                    StartAccept();
            }));
        return;
    }
    if (!error)
        listener.Accepted(std::move(socket), remote);
    if (current)
        StartAccept();
}

} // namespace korvel
