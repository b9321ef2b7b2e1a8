#pragma once

#include "clock/TimeSource.h"
#include "loop/Lifetime.h"
#include "loop/LoopTimer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace korvel {

class SupervisorActions;

// The HTTP/1.1 status server of the operations view: GET (or HEAD) /status,
// /metrics and /, and the supervisor API under /api/ (SupervisorApi.h) when
// it is given the supervisor actions: tokens from POST /api/login
// (ApiTokens), each request's token looked up and its supervisor asked again
// whether it is one at every request. A supervisor's token also reads
// /status and /metrics when a StatusToken is set. It runs on the I/O loop beside the operators and the
// cameras, and keeps to limits of its own so that its clients never slow
// them, nor one client the others: at most MaxConnections at once and
// MaxPerAddress from one client address (a connection beyond either takes
// the place of an idle one, see StatusSlots), a request head of at
// most MaxHeadBytes (431 beyond) that arrives within HeadTimeout, and every
// answer written within WriteTimeout, or the connection is closed.
//
// The documents are made by the content functions, called on the loop when
// a request asks for them; the API's actions are carried out at once, a
// login's check answers later (the throttle), its connection busy meanwhile
// and closed if that takes longer than WriteTimeout. A request body is at
// most MaxApiBodyBytes (413 beyond).
//
// Its deadlines and the pause after a failed accept keep time on the time
// source it is given.
//
// Lifetime: the loop must outlive the server. Closing (or destroying) the
// server closes the listener and every connection; their completions still
// queued then find the server closed and do nothing. A connection is owned by
// its pending operation.
class StatusServer
{
public:
    static constexpr std::size_t MaxConnections = 16;
    static constexpr std::size_t MaxPerAddress = 4;
    static constexpr std::chrono::seconds HeadTimeout{5};
    static constexpr std::chrono::seconds WriteTimeout{10};
    static constexpr std::size_t MaxHeadBytes = 8 * 1024;

    struct Content
    {
        std::function<std::string()> status;  // the /status JSON
        std::function<std::string()> metrics; // the /metrics text
    };

    // Starts listening at once, unless the address is not numeric or the
    // socket cannot be opened, bound or listen: StartFailure then says why
    // (see ListenOn), and the server serves nothing. token: every request
    // must carry "Authorization: Bearer <token>"; empty for none.
    // supervisors: the actions of the supervisor API, which must outlive the
    // server; none, and every /api path answers 404.
    StatusServer(boost::asio::io_context& io, TimeSource& time, const std::string& address,
                 std::uint16_t port, std::string token, Content content,
                 SupervisorActions* supervisors = nullptr);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // The step that failed and why ("bind: Address already in use"); empty
    // once the server listens.
    const std::string& StartFailure() const { return startFailure; }
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    // The token of the requests read from now on (a reload).
    void SetToken(std::string token);
    // Closes the listener and every connection (the run stops).
    void Close();

    struct Shared; // what the server and its connections share

private:
    void StartAccept();
    void OnAccepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    LoopTimer acceptPause;
    std::shared_ptr<Shared> shared;
    std::string startFailure;
    Lifetime lifetime;
};

} // namespace korvel
