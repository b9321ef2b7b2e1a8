#pragma once

#include "camera/Lifetime.h"
#include "camera/LinkStateMachine.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

// The TCP transport of a network track camera: resolver (IPv4), socket
// (TCP_NODELAY, endpoint by endpoint) and retry timer. Write-only. What it
// does when is LinkStateMachine's to decide: every completion goes there,
// and the actions it returns are carried out here. Runs on the I/O loop
// thread.
class NetworkLink
{
public:
    NetworkLink(boost::asio::io_context& io, const std::string& address, const std::string& port,
                int retryIntervalSecs);
    NetworkLink(const NetworkLink&) = delete;
    NetworkLink& operator=(const NetworkLink&) = delete;

    // Logs "Connecting to track camera at " and starts the first resolution.
    void Start();

    // True when the link takes commands: a socket exists and is open,
    // whether its connection is up or being made again.
    bool AcceptsCommands() const;
    // True while the connection is up and no write on it has failed.
    bool Connected() const;
    LinkState State() const { return machine.State(); }

    template <typename Handler>
    void AsyncWrite(const void* data, std::size_t length, Handler handler);

    // Writes what the socket takes now, without waiting, and returns its
    // length; `error` is would_block when the socket takes nothing now. Only
    // when the link is connected and no AsyncWrite is in flight.
    std::size_t TryWrite(const void* data, std::size_t length, boost::system::error_code& error);

    // A command write failed (see LinkStateMachine::CommandWriteFailed).
    void WriteFailed(const boost::system::error_code& error);

    // Closes the socket and cancels the resolution and the retry wait.
    void Stop();

private:
    void Perform(const LinkActions& actions);
    void Connect(std::size_t index);
    void OnConnected(std::uint64_t generation, std::size_t index,
                     const boost::system::error_code& error);
    void WaitToRetry(std::chrono::seconds delay);

    boost::asio::io_context& io;
    std::string address;
    std::string port;
    LinkStateMachine machine;

    boost::asio::ip::tcp::resolver resolver;
    boost::asio::ip::tcp::resolver::results_type endpoints;
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    boost::asio::steady_timer reconnectTimer;
    Lifetime lifetime;
};

template <typename Handler>
void NetworkLink::AsyncWrite(const void* data, std::size_t length, Handler handler)
{
    boost::asio::async_write(
        *socket, boost::asio::buffer(data, length),
        [handler = std::move(handler)](const boost::system::error_code& error,
                                       std::size_t) mutable { handler(error); });
}

} // namespace korvel
