#include "camera/NetworkLink.h"

#include "log/LogFile.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

using boost::asio::ip::tcp;

NetworkLink::NetworkLink(boost::asio::io_context& io, const std::string& address,
                         const std::string& port, int retryIntervalSecs)
    : io(io), address(address), port(port), retryIntervalSecs(retryIntervalSecs), resolver(io),
      reconnectTimer(io)
{}

void NetworkLink::Start()
{
    LogFile.BeginLine() << "Connecting to track camera at " << address << ":" << port << std::endl;
    StartResolve();
}

bool NetworkLink::AcceptsCommands() const
{
    return !stopped && socket && socket->is_open();
}

bool NetworkLink::Connected() const
{
    return AcceptsCommands() && connected;
}

std::size_t NetworkLink::TryWrite(const void* data, std::size_t length,
                                  boost::system::error_code& error)
{
    return socket->send(boost::asio::buffer(data, length), 0, error);
}

void NetworkLink::WriteFailed(const boost::system::error_code& error)
{
    connected = false;
    ReportTrouble("Error sending command to " + address, error);
    StartResolve();
}

void NetworkLink::Stop()
{
    stopped = true;
    connected = false;
    resolver.cancel();
    reconnectTimer.cancel();
    if (socket) {
        boost::system::error_code ignored;
        socket->close(ignored);
    }
}

// One resolution at a time: a second one would only replace the socket the
// first is about to make.
void NetworkLink::StartResolve()
{
    if (stopped || resolving)
        return;
    resolving = true;
    resolver.async_resolve(tcp::v4(), address, port, tcp::resolver::address_configured,
                           lifetime.Guard([this](const boost::system::error_code& error,
                                                 const tcp::resolver::results_type& results) {
                               OnResolved(error, results);
                           }));
}

void NetworkLink::OnResolved(const boost::system::error_code& error,
                             const tcp::resolver::results_type& results)
{
    resolving = false;
    if (stopped || error == boost::asio::error::operation_aborted)
        return;
    if (error) {
        // Not retried by itself: the next failed command write resolves again.
        LogFile.BeginLine() << "*** Unable to resolve path to camera at " << address << ":" << port
                            << ": " << error.message() << std::endl;
        return;
    }
    if (results.empty())
        return;

    endpoints = results;
    // Replacing the socket closes the previous one; its pending operations
    // end as aborted.
    socket = std::make_unique<tcp::socket>(io);
    ++socketGeneration;
    connected = false;
    Connect(0);
}

void NetworkLink::Connect(std::size_t index)
{
    const tcp::endpoint endpoint =
        std::next(endpoints.begin(), static_cast<std::ptrdiff_t>(index))->endpoint();
    const std::uint64_t generation = socketGeneration;
    boost::system::error_code error;
    socket->open(endpoint.protocol(), error);
    if (!error) {
        // Commands are small and each one steers the camera now.
        socket->set_option(tcp::no_delay(true), error);
    }
    if (!error) {
        // For TryWrite; the asynchronous operations do not mind.
        socket->non_blocking(true, error);
    }
    if (error) {
        boost::asio::post(io, lifetime.Guard([this, generation, index, error] {
            OnConnected(generation, index, error);
        }));
        return;
    }
    socket->async_connect(endpoint, lifetime.Guard([this, generation, index](
                                                       const boost::system::error_code& result) {
        OnConnected(generation, index, result);
    }));
}

void NetworkLink::OnConnected(std::uint64_t generation, std::size_t index,
                              const boost::system::error_code& error)
{
    if (stopped || generation != socketGeneration)
        return;
    if (!error) {
        if (socket->is_open()) {
            retryWait = 0;
            reconnectTimer.cancel();
            connected = true;
        }
        return;
    }
    if (index + 1 < endpoints.size()) {
        boost::system::error_code ignored;
        socket->close(ignored);
        Connect(index + 1);
        return;
    }
    ReportTrouble("*** Connection error for track camera at " + address + " on port " + port,
                  error);
    WaitToRetry();
}

// Setting the expiry cancels a wait still pending; that wait then ends as
// aborted and is logged as such.
void NetworkLink::WaitToRetry()
{
    // A retry interval below one second would turn a dead camera into a busy loop.
    const int seconds = std::max(retryIntervalSecs, 1);
    reconnectTimer.expires_after(std::chrono::seconds(seconds));
    const std::uint64_t wait = ++retryWaitsStarted;
    retryWait = wait;
    reconnectTimer.async_wait(lifetime.Guard(
        [this, wait](const boost::system::error_code& error) { OnReconnectTimer(wait, error); }));
}

void NetworkLink::OnReconnectTimer(std::uint64_t wait, const boost::system::error_code& error)
{
    if (stopped)
        return;
    if (error == boost::asio::error::operation_aborted) {
        LogFile.BeginLine() << "Camera connection retry timer aborted" << std::endl;
        return;
    }
    // An expiry that was already queued when a connection succeeded or a newer
    // wait began is stale.
    if (error || wait != retryWait)
        return;
    retryWait = 0;
    StartResolve();
}

// Only the first connection or send failure of a camera is logged; the
// recovery runs every time.
void NetworkLink::ReportTrouble(const std::string& text, const boost::system::error_code& error)
{
    if (troubleReported)
        return;
    troubleReported = true;
    LogFile.BeginLine() << text << ": " << error.message() << std::endl;
}
