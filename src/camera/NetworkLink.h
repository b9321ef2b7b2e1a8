#pragma once

#include "camera/CameraLink.h"
#include "camera/CommandWritePath.h"
#include "camera/LinkStateMachine.h"
#include "clock/TimeSource.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// The TCP transport of a network track camera: resolver (IPv4), socket
// (TCP_NODELAY: bytes and their order unchanged, each command sent as it
// comes; endpoint by endpoint) and retry timer, which keeps time on the time
// source it is given. Write-only. What it does when is LinkStateMachine's to
// decide: every completion goes there, and the actions it returns are
// carried out here. Runs on the I/O loop thread.
class NetworkLink final : public CameraLink
{
public:
    NetworkLink(boost::asio::io_context& io, TimeSource& time, const std::string& address,
                const std::string& port, int retryIntervalSecs);
    NetworkLink(const NetworkLink&) = delete;
    NetworkLink& operator=(const NetworkLink&) = delete;

    // Logs "Connecting to track camera at " and starts the first resolution.
    void Start() override;

    // The socket commands go to: a new one for every socket opened (each
    // resolution's, and each endpoint's after a failed attempt), whether its
    // connection is up, being made, or failed; NoTransport while there is no
    // open socket.
    CommandWritePath::TransportId Transport() const override;
    LinkState State() const override { return machine.State(); }

    // Writes what the current socket takes now, without waiting, and
    // returns its length; `error` is would_block when the socket cannot take
    // it all now (a connection still being made, full buffers). A socket whose
    // connection failed or broke reports that here, at once: handing the
    // write to the loop instead could wait for a readiness report that a
    // dead socket never gives. Only when no AsyncWrite is in flight on it.
    std::size_t TryWrite(const void* data, std::size_t length,
                         boost::system::error_code& error) override;

    // Writes the whole buffer to the current socket; the handler runs on the
    // loop with the outcome. A socket closed under it (replaced, or the link
    // stopped) ends it as aborted.
    void AsyncWrite(const void* data, std::size_t length, WriteHandler handler) override;

    // The bytes written to the current socket that it has not yet sent; none
    // without a socket, or when the system cannot say.
    std::optional<std::size_t> UnsentBytes() const override;

    // A command write failed (see LinkStateMachine::CommandWriteFailed).
    void WriteFailed(const boost::system::error_code& error) override;

    // Closes the socket and cancels the resolution and the retry wait.
    void Stop() override;
    // From the next retry wait on.
    void SetRetryInterval(int seconds) override { machine.SetRetryInterval(seconds); }

private:
    void Perform(const LinkActions& actions);
    void Connect(std::size_t index);
    void OnConnected(std::uint64_t generation, std::size_t index, std::size_t endpointCount,
                     const boost::system::error_code& error);
    void WaitToRetry(std::chrono::seconds delay);

    boost::asio::io_context& io;
    std::string address;
    std::string port;
    LinkStateMachine machine;

    boost::asio::ip::tcp::resolver resolver;
    boost::asio::ip::tcp::resolver::results_type endpoints;
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    CommandWritePath::TransportId socketsOpened = 0; // the current socket's transport, while open
    LoopTimer reconnectTimer;
    Lifetime lifetime;
};

} // namespace korvel
