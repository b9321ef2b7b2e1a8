#pragma once

// The control port: each connection sends command lines and reads the
// answers, exactly as on standard input.

#include "ControlCommands.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <functional>
#include <map>
#include <memory>

namespace nvrsim {

class ControlConnection;

class ControlServer
{
public:
    ControlServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
                  ControlCommands& commands, std::function<void()> quit);

    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    void Stop();

    // For the connections.
    ControlCommands& Commands() { return commands; }
    void Quit() { quit(); }
    void Forget(unsigned id) { connections.erase(id); }

private:
    void Accept();

    boost::asio::ip::tcp::acceptor acceptor;
    ControlCommands& commands;
    std::function<void()> quit;
    unsigned nextId = 1;
    std::map<unsigned, std::shared_ptr<ControlConnection>> connections;
};

} // namespace nvrsim
