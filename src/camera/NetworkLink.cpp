#include "camera/NetworkLink.h"

#include "loop/IoOutcome.h"
#include "log/LogFile.h"
#include "platform/OutputQueue.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <cstdint>
#include <iterator>
#include <utility>

namespace korvel {

using boost::asio::ip::tcp;

namespace {

std::string Reason(const boost::system::error_code& error)
{
    return error ? error.message() : std::string();
}

} // namespace

NetworkLink::NetworkLink(boost::asio::io_context& io, TimeSource& time, const std::string& address,
                         const std::string& port, int retryIntervalSecs)
    : io(io), address(address), port(port),
      machine(LinkStateMachine::Network(address, port, retryIntervalSecs)), resolver(io),
      reconnectTimer(io, time)
{}

void NetworkLink::Start()
{
    Perform(machine.Start());
}

CommandWritePath::TransportId NetworkLink::Transport() const
{
    if (!machine.WritesCommands() || !socket || !socket->is_open())
        return CommandWritePath::NoTransport;
    return socketsOpened;
}

std::size_t NetworkLink::TryWrite(const void* data, std::size_t length,
                                  boost::system::error_code& error)
{
    return socket->send(boost::asio::buffer(data, length), 0, error);
}

std::optional<std::size_t> NetworkLink::UnsentBytes() const
{
    if (!socket || !socket->is_open())
        return std::nullopt;
    return SocketUnsentBytes(static_cast<std::uintptr_t>(socket->native_handle()));
}

void NetworkLink::AsyncWrite(const void* data, std::size_t length, WriteHandler handler)
{
    boost::asio::async_write(
        *socket, boost::asio::buffer(data, length),
        [handler = std::move(handler)](const boost::system::error_code& error, std::size_t) {
            handler(error);
        });
}

void NetworkLink::WriteFailed(const boost::system::error_code& error)
{
    Perform(machine.CommandWriteFailed(error.message()));
}

void NetworkLink::Stop()
{
    Perform(machine.Stop());
}

void NetworkLink::Perform(const LinkActions& actions)
{
    if (!actions.logLine.empty())
        LogFile.BeginLine() << actions.logLine << std::endl;
    if (actions.closeAll) {
        resolver.cancel();
        reconnectTimer.Cancel();
        if (socket) {
            boost::system::error_code ignored;
            socket->close(ignored);
        }
    }
    if (actions.newSocket) {
        // Replacing the socket closes the previous one; its pending
        // operations end as aborted.
        socket = std::make_unique<tcp::socket>(io);
    } else if (actions.connectTo) {
        boost::system::error_code ignored;
        socket->close(ignored);
    }
    if (actions.connectTo)
        Connect(*actions.connectTo);
    if (actions.cancelRetryWait)
        reconnectTimer.Cancel();
    if (actions.retryWait)
        WaitToRetry(*actions.retryWait);
    if (actions.resolve) {
        resolver.async_resolve(tcp::v4(), address, port, tcp::resolver::address_configured,
                               lifetime.Guard([this](const boost::system::error_code& error,
                                                     const tcp::resolver::results_type& results) {
                                   const LinkActions next = machine.ResolveEnded(
                                       OutcomeOf(error), error ? 0 : results.size(), Reason(error));
                                   // The endpoints go with the socket they are for.
                                   if (next.newSocket)
                                       endpoints = results;
                                   Perform(next);
                               }));
    }
}

void NetworkLink::Connect(std::size_t index)
{
    const tcp::endpoint endpoint =
        std::next(endpoints.begin(), static_cast<std::ptrdiff_t>(index))->endpoint();
    const std::uint64_t generation = machine.SocketGeneration();
    const std::size_t endpointCount = endpoints.size();
    boost::system::error_code error;
    socket->open(endpoint.protocol(), error);
    if (!error) {
        ++socketsOpened;
        // Commands are small and each one steers the camera now.
        socket->set_option(tcp::no_delay(true), error);
    }
    if (!error) {
        // For TryWrite; the asynchronous operations do not mind.
        socket->non_blocking(true, error);
    }
    if (error) {
        boost::asio::post(io, lifetime.Guard([this, generation, index, endpointCount, error] {
            OnConnected(generation, index, endpointCount, error);
        }));
        return;
    }
    socket->async_connect(endpoint,
                          lifetime.Guard([this, generation, index, endpointCount](
                                             const boost::system::error_code& result) {
                              OnConnected(generation, index, endpointCount, result);
                          }));
}

void NetworkLink::OnConnected(std::uint64_t generation, std::size_t index,
                              std::size_t endpointCount, const boost::system::error_code& error)
{
    Perform(machine.ConnectEnded(generation, index, endpointCount, OutcomeOf(error),
                                 Reason(error)));
}

// Setting the expiry cancels a wait still pending; that wait then ends as
// aborted and is logged as such.
void NetworkLink::WaitToRetry(std::chrono::seconds delay)
{
    reconnectTimer.ExpiresAfter(delay);
    const std::uint64_t wait = machine.RetryWaitNumber();
    reconnectTimer.AsyncWait(lifetime.Guard([this, wait](const boost::system::error_code& error) {
        Perform(machine.RetryWaitEnded(wait, OutcomeOf(error)));
    }));
}

} // namespace korvel
