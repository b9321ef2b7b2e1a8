#include "Attackers.h"

#include "client/OperatorProtocol.h"

#include <sys/socket.h>

namespace korvel {

using boost::asio::ip::tcp;
using boost::system::error_code;

struct LoginFlood::Guesser
{
    explicit Guesser(boost::asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    bool greeted = false;
    std::string received;
    std::array<char, 4096> buffer{};
};

LoginFlood::LoginFlood(boost::asio::io_context& io, tcp::endpoint service,
                       const std::string& fromAddress, std::size_t connections,
                       std::size_t nameBytes)
    : io(io), service(service), from(boost::asio::ip::make_address(fromAddress)),
      login(OperatorProtocol::LoginMessage(std::string(nameBytes, 'x'), "wrong"))
{
    for (std::size_t i = 0; i < connections; ++i)
        guessers.push_back(std::make_unique<Guesser>(io));
}

LoginFlood::~LoginFlood()
{
    *alive = false;
    for (const auto& guesser : guessers) {
        error_code ignored;
        guesser->socket.close(ignored);
    }
}

void LoginFlood::Start()
{
    for (const auto& guesser : guessers)
        Connect(*guesser);
}

void LoginFlood::Connect(Guesser& guesser)
{
    error_code error;
    guesser.socket.close(error);
    guesser.socket.open(service.protocol(), error);
    guesser.socket.bind(tcp::endpoint(from, 0), error);
    guesser.greeted = false;
    guesser.received.clear();
    guesser.socket.async_connect(service,
                                 [this, &guesser, alive = alive](const error_code& failed) {
                                     if (!*alive)
                                         return;
                                     if (failed) {
                                         Connect(guesser);
                                         return;
                                     }
                                     error_code ignored;
                                     guesser.socket.set_option(tcp::no_delay(true), ignored);
                                     Read(guesser);
                                 });
}

void LoginFlood::Read(Guesser& guesser)
{
    guesser.socket.async_read_some(
        boost::asio::buffer(guesser.buffer),
        [this, &guesser, alive = alive](const error_code& error, std::size_t count) {
            if (!*alive)
                return;
            if (error) {
                Connect(guesser);
                return;
            }
            Consume(guesser, count);
            Read(guesser);
        });
}

// The greeting comes in one write; after it, the service sends this session
// nothing but FAILURE answers.
void LoginFlood::Consume(Guesser& guesser, std::size_t count)
{
    guesser.received.append(guesser.buffer.data(), count);
    if (!guesser.greeted) {
        guesser.greeted = true;
        guesser.received.clear();
        Guess(guesser);
        return;
    }
    const std::string_view failure = OperatorProtocol::LoginRefused;
    for (auto at = guesser.received.find(failure); at != std::string::npos;
         at = guesser.received.find(failure)) {
        guesser.received.erase(0, at + failure.size());
        ++answered;
        Guess(guesser);
    }
}

void LoginFlood::Guess(Guesser& guesser)
{
    ::send(guesser.socket.native_handle(), login.data(), login.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

struct IdleHolders::Holder
{
    Holder(boost::asio::io_context& io, boost::asio::ip::address from)
        : socket(io), timer(io), from(from)
    {}
    tcp::socket socket;
    boost::asio::steady_timer timer;
    boost::asio::ip::address from;
    char byte = 0;
};

IdleHolders::IdleHolders(boost::asio::io_context& io, tcp::endpoint server,
                         const std::vector<std::string>& fromAddresses, std::size_t perAddress,
                         std::chrono::milliseconds pause)
    : io(io), server(server), pause(pause)
{
    for (const std::string& address : fromAddresses)
        for (std::size_t i = 0; i < perAddress; ++i)
            holders.push_back(std::make_unique<Holder>(io, boost::asio::ip::make_address(address)));
}

IdleHolders::~IdleHolders()
{
    *alive = false;
    for (const auto& holder : holders) {
        error_code ignored;
        holder->socket.close(ignored);
        holder->timer.cancel();
    }
}

void IdleHolders::Start()
{
    for (const auto& holder : holders)
        Connect(*holder);
}

void IdleHolders::Connect(Holder& holder)
{
    error_code error;
    holder.socket.close(error);
    holder.socket.open(server.protocol(), error);
    holder.socket.bind(tcp::endpoint(holder.from, 0), error);
    holder.socket.async_connect(server, [this, &holder, alive = alive](const error_code& failed) {
        if (!*alive)
            return;
        const auto reopen = [this, &holder, alive] {
            ++closed;
            holder.timer.expires_after(pause);
            holder.timer.async_wait([this, &holder, alive](const error_code& error) {
                if (*alive && !error)
                    Connect(holder);
            });
        };
        if (failed) {
            reopen();
            return;
        }
        // Nothing is sent; whatever ends the read is the server closing.
        holder.socket.async_read_some(boost::asio::buffer(&holder.byte, 1),
                                      [alive, reopen](const error_code&, std::size_t) {
                                          if (*alive)
                                              reopen();
                                      });
    });
}

} // namespace korvel
