#pragma once

#include "camera/Lifetime.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The TCP link of a network track camera: resolves the camera's host and
// port (IPv4), connects endpoint by endpoint, and after a failure on every
// endpoint tries again after the retry interval, without limit. Write-only.
// Runs on the I/O loop thread.
//
//   Start/StartResolve --> OnResolved --> new socket --> OnConnected
//        ^                                                |  error on the last endpoint
//        |                                                v
//        +---- OnReconnectTimer <---- reconnectTimer (retryIntervalSecs)
//        +---- WriteFailed (a command write failed)
//
// Each new socket has a generation number; a completion for an older socket
// (closed when a newer resolution replaced it) is ignored.
//
// Commands are written whenever a socket exists and is open, whatever its
// connection state: on a socket still connecting the write goes out once the
// connection is made; on one whose connection failed or broke the write fails
// at once, and that failure starts a new resolution. So an operator's next
// command is what brings a camera that came back into reach, without waiting
// for the retry interval. Nothing is kept for a later connection.
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

    template <typename Handler>
    void AsyncWrite(const void* data, std::size_t length, Handler handler);

    // Writes what the socket takes now, without waiting, and returns its
    // length; `error` is would_block when the socket takes nothing now. Only
    // when the link is connected and no AsyncWrite is in flight.
    std::size_t TryWrite(const void* data, std::size_t length, boost::system::error_code& error);

    // Logs the first failure of the camera's link and starts a new
    // resolution (unless one is under way), whose completion replaces the
    // socket; until then commands still go to the old one, and fail.
    void WriteFailed(const boost::system::error_code& error);

    // Closes the socket and cancels the resolution and the retry wait.
    void Stop();

private:
    void StartResolve();
    void OnResolved(const boost::system::error_code& error,
                    const boost::asio::ip::tcp::resolver::results_type& results);
    void Connect(std::size_t index);
    void OnConnected(std::uint64_t generation, std::size_t index,
                     const boost::system::error_code& error);
    void WaitToRetry();
    void OnReconnectTimer(std::uint64_t wait, const boost::system::error_code& error);
    void ReportTrouble(const std::string& text, const boost::system::error_code& error);

    boost::asio::io_context& io;
    std::string address;
    std::string port;
    int retryIntervalSecs;

    boost::asio::ip::tcp::resolver resolver;
    bool resolving = false;
    boost::asio::ip::tcp::resolver::results_type endpoints;
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    std::uint64_t socketGeneration = 0;
    bool connected = false; // the current socket's connection is up and no write on it failed

    boost::asio::steady_timer reconnectTimer;
    std::uint64_t retryWait = 0; // number of the wait whose expiry may retry; 0 = none
    std::uint64_t retryWaitsStarted = 0;

    bool troubleReported = false;
    bool stopped = false;
    Lifetime lifetime;
};

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

template <typename Handler>
void NetworkLink::AsyncWrite(const void* data, std::size_t length, Handler handler)
{
    boost::asio::async_write(
        *socket, boost::asio::buffer(data, length),
        [handler = std::move(handler)](const boost::system::error_code& error,
                                       std::size_t) mutable { handler(error); });
}
