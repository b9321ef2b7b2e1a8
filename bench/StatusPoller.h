#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace korvel {

// A status client as a monitoring system runs it: every period it asks the
// service's status server for /status and then /metrics, each on a fresh
// connection, and reads the answer to its end. Runs on the bench's loop.
class StatusPoller
{
public:
    StatusPoller(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint server,
                 std::chrono::milliseconds period);
    ~StatusPoller();
    StatusPoller(const StatusPoller&) = delete;
    StatusPoller& operator=(const StatusPoller&) = delete;

    void Start();
    // Answers read whole, and those that failed.
    std::size_t Answered() const { return answered; }
    std::size_t Failed() const { return failed; }

private:
    void Tick();
    void Ask(std::size_t target);
    void OnRead(std::size_t target, const boost::system::error_code& error, std::size_t bytes);

    boost::asio::io_context& io;
    boost::asio::ip::tcp::endpoint server;
    std::chrono::milliseconds period;
    boost::asio::steady_timer timer;
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    std::string request;
    std::string answer;
    std::array<char, 16384> buffer{};
    bool busy = false;
    std::size_t answered = 0;
    std::size_t failed = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace korvel
