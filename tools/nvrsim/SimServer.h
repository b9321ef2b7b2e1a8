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
    // Logs every logged-in session out with event 71 code 6; returns how many.
    std::size_t RevokeLogins();
    // The count-th request of the operation from now on, of whichever
    // session, and every later request of that session are held back
    // unanswered until Release. A new hold replaces one not yet reached.
    void Hold(uint16_t operation, std::size_t count);
    // Ends the hold: held requests are answered in order. Returns how many
    // sessions were held.
    std::size_t Release();
    void Stop();
    void DumpSessions(std::ostream& out) const;

    // For the sessions.
    RequestHandler& Handler() { return handler; }
    // True when this request is the one the hold waits for: its session is
    // held from it on.
    bool TakeHold(uint16_t operation);
    void Forget(unsigned id);
    void Log(const std::string& line, bool always = false) const;

private:
    void Accept();

    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    RequestHandler handler;
    bool verbose;
    bool refreshPending = false;
    uint16_t holdOperation = 0;
    std::size_t holdCountdown = 0; // requests of it until the hold; 0: no hold
    unsigned nextSessionId = 1;
    std::map<unsigned, std::shared_ptr<ClientSession>> sessions;
};

} // namespace nvrsim
