#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// A password guesser: connections from one address that each send a LOGIN,
// and the next as soon as its answer comes back, the LOGINs of `logins` in
// turn (failed ones with a long name; or an insider's, who logs in with an
// account of its own between its guesses at another's password). Runs on
// the bench's loop; a connection the service closes is opened again.
class LoginFlood
{
public:
    LoginFlood(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint service,
               const std::string& fromAddress, std::size_t connections,
               std::vector<std::string> logins);
    ~LoginFlood();
    LoginFlood(const LoginFlood&) = delete;
    LoginFlood& operator=(const LoginFlood&) = delete;

    void Start();
    // FAILURE answers received over all connections.
    std::size_t Answered() const { return answered; }

private:
    struct Guesser;
    void Connect(Guesser& guesser);
    void Read(Guesser& guesser);
    void Consume(Guesser& guesser, std::size_t count);
    void Guess(Guesser& guesser);

    boost::asio::io_context& io;
    boost::asio::ip::tcp::endpoint service;
    boost::asio::ip::address from;
    std::vector<std::string> logins;
    std::vector<std::unique_ptr<Guesser>> guessers;
    std::size_t answered = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

// Connections that never send anything (to the status server, or to the
// operator port: a flood of idle connections), spread over a few addresses;
// each one the server closes is opened again after `pause`.
class IdleHolders
{
public:
    IdleHolders(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint server,
                const std::vector<std::string>& fromAddresses, std::size_t perAddress,
                std::chrono::milliseconds pause);
    ~IdleHolders();
    IdleHolders(const IdleHolders&) = delete;
    IdleHolders& operator=(const IdleHolders&) = delete;

    void Start();
    // Connections the server has closed (or refused).
    std::size_t Closed() const { return closed; }

private:
    struct Holder;
    void Connect(Holder& holder);
    void Drain(Holder& holder, std::function<void()> reopen);

    boost::asio::io_context& io;
    boost::asio::ip::tcp::endpoint server;
    std::chrono::milliseconds pause;
    std::vector<std::unique_ptr<Holder>> holders;
    std::size_t closed = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

// A workstation that logs in now and then: every `period` it connects from
// its address, reads its greeting, sends LOGIN and closes once the answer
// has come (or after 5 s without one).
class LoginProbe
{
public:
    LoginProbe(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint service,
               const std::string& fromAddress, std::string login, std::chrono::milliseconds period);
    ~LoginProbe();
    LoginProbe(const LoginProbe&) = delete;
    LoginProbe& operator=(const LoginProbe&) = delete;

    void Start();
    // Tries that have ended.
    std::size_t Tries() const { return ended; }
    // Tries answered "OK", and the longest of them from connect to the answer.
    std::size_t LoggedIn() const { return loggedIn; }
    std::chrono::steady_clock::duration Slowest() const { return slowest; }

private:
    void Try();
    void Read();
    void Done(bool ok);

    boost::asio::io_context& io;
    boost::asio::ip::tcp::endpoint service;
    boost::asio::ip::address from;
    std::string login;
    std::chrono::milliseconds period;
    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer next;
    boost::asio::steady_timer giveUp;
    std::array<char, 256> buffer{};
    std::string received;
    bool greeted = false;
    bool trying = false;
    std::chrono::steady_clock::time_point began{};
    std::size_t tries = 0; // started
    std::size_t ended = 0;
    std::size_t loggedIn = 0;
    std::chrono::steady_clock::duration slowest{};
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace korvel
