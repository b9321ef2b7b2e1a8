#pragma once

#include "SoakLedger.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// A network camera of the soak, on its own loopback address 127.0.1.N and a
// port that stays its own: accepts what connects, numbers its connections
// from 1, and hands each frame that arrives on one to the ledger. It can
// drop its connections (with a reset, so the service's next write to one
// fails rather than vanishing) and refuse new ones for a while.
class SoakCamera
{
public:
    SoakCamera(boost::asio::io_context& io, std::uint8_t number, SoakLedger& ledger);
    ~SoakCamera();
    SoakCamera(const SoakCamera&) = delete;
    SoakCamera& operator=(const SoakCamera&) = delete;

    std::uint8_t Number() const { return number; }
    const std::string& Address() const { return address; }
    unsigned short Port() const { return port; }
    // Connections open now.
    std::size_t Open() const;
    std::size_t Accepted() const { return nextConnection - 1; }
    std::size_t Garbled() const { return garbled; }

    // Reads what each connection holds, then resets them all.
    void Drop();
    // Stops listening for `period` (connections are refused), then listens again.
    void Refuse(std::chrono::milliseconds period);
    // Listens again now, if it was refusing.
    void Listen();

private:
    struct Connection
    {
        explicit Connection(boost::asio::io_context& io) : socket(io) {}
        boost::asio::ip::tcp::socket socket;
        std::uint32_t id = 0;
        std::vector<std::uint8_t> pending;
        std::array<std::uint8_t, 4096> buffer{};
        bool open = true;
    };

    void Accept();
    void Read(const std::shared_ptr<Connection>& connection);
    void Consume(Connection& connection, const std::uint8_t* bytes, std::size_t count);
    void End(Connection& connection);

    boost::asio::io_context& io;
    std::uint8_t number;
    SoakLedger& ledger;
    std::string address;
    unsigned short port = 0;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
    boost::asio::steady_timer refuseTimer;
    std::vector<std::shared_ptr<Connection>> connections;
    std::uint64_t generation = 0; // of the listener
    std::uint32_t nextConnection = 1;
    std::size_t garbled = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace korvel
