#pragma once

// The NVR's client port: accepts any number of sessions, hands their
// requests to the RequestHandler and fans events out to them. Everything
// runs on the one I/O thread, so nothing here takes a lock.

#include "NvrModel.h"
#include "RequestHandler.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace nvrsim {

class ClientSession;

class SimServer
{
public:
    SimServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
              NvrModel& model, bool verbose);

    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    // Sends an event to every logged-in session; returns how many got it.
    std::size_t Broadcast(const PendingEvent& event);
    // Announces a change with event 3, once for changes made together.
    void ScheduleRefresh();
    // Closes every client connection; returns how many there were.
    std::size_t DropAll();
    void Stop();
    void DumpSessions(std::ostream& out) const;

    // For the sessions.
    RequestHandler& Handler() { return handler; }
    void Forget(unsigned id);
    void Log(const std::string& line, bool always = false) const;

private:
    void Accept();

    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    RequestHandler handler;
    bool verbose;
    bool refreshPending = false;
    unsigned nextSessionId = 1;
    std::map<unsigned, std::shared_ptr<ClientSession>> sessions;
};

} // namespace nvrsim
