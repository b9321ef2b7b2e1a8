#pragma once

#include "clock/TimeSource.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <string>

namespace korvel {

// The operator port: the listener and its accepts. Each accepted connection
// goes to the listener with the address it came from, taken from the accept
// itself (so that one reset before it is served still has one). While the
// process is out of descriptors or memory it accepts nothing for a moment
// rather than spin; an accept that failed for its connection alone is
// followed by the next at once.
//
// Threads: the I/O loop's. Lifetime: its completions are guarded (see
// Lifetime); Close ends the accepts.
class OperatorPort
{
public:
    // What the port tells its owner: one method.
    class Listener
    {
    public:
        virtual void Accepted(boost::asio::ip::tcp::socket socket,
                              const boost::asio::ip::tcp::endpoint& remote) = 0;

    protected:
        ~Listener() = default;
    };

    OperatorPort(boost::asio::io_context& io, TimeSource& time, Listener& listener);
    OperatorPort(const OperatorPort&) = delete;
    OperatorPort& operator=(const OperatorPort&) = delete;

    // Listens at the address and port, and only once that works closes the
    // listener it had, if any (an accept of that one still serves the
    // connection it brought). Why it did not work (see ListenOn); empty once
    // it listens.
    std::string Listen(const std::string& address, std::uint32_t port);
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    void Close();

private:
    void StartAccept();
    void OnAccepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket,
                    const boost::asio::ip::tcp::endpoint& remote, std::uint64_t listener);

    boost::asio::io_context& io;
    Listener& listener;
    boost::asio::ip::tcp::acceptor acceptor;
    std::uint64_t listenersOpened = 0; // the acceptor's number
    LoopTimer acceptPause;
    Lifetime lifetime;
};

} // namespace korvel
