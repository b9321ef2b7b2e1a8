#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// A password guesser: connections from one address that each send a failed
// LOGIN with a long name, and the next as soon as its FAILURE comes back.
// Runs on the bench's loop; a connection the service closes is opened again.
class LoginFlood
{
public:
    LoginFlood(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint service,
               const std::string& fromAddress, std::size_t connections, std::size_t nameBytes);
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
    std::string login;
    std::vector<std::unique_ptr<Guesser>> guessers;
    std::size_t answered = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

// Connections to the status server that never send a request, spread over a
// few addresses; each one the server closes is opened again after `pause`.
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

    boost::asio::io_context& io;
    boost::asio::ip::tcp::endpoint server;
    std::chrono::milliseconds pause;
    std::vector<std::unique_ptr<Holder>> holders;
    std::size_t closed = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace korvel
