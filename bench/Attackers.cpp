#include "Attackers.h"

#include "client/OperatorProtocol.h"

#include <sys/socket.h>

#include <algorithm>

namespace korvel {

using boost::asio::ip::tcp;
using boost::system::error_code;

struct LoginFlood::Guesser
{
    explicit Guesser(boost::asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    bool greeted = false;
    std::string received;
    std::size_t next = 0; // the LOGIN it sends next
    std::array<char, 4096> buffer{};
};

LoginFlood::LoginFlood(boost::asio::io_context& io, tcp::endpoint service,
                       const std::string& fromAddress, std::size_t connections,
                       std::vector<std::string> logins)
    : io(io), service(service), from(boost::asio::ip::make_address(fromAddress)),
      logins(std::move(logins))
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
    guesser.next = 0;
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
// nothing but the answers to its LOGINs.
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
    const std::string_view accepted = OperatorProtocol::LoginAccepted;
    for (;;) {
        std::string& received = guesser.received;
        if (received.compare(0, failure.size(), failure) == 0) {
            received.erase(0, failure.size());
            ++answered;
        } else if (received.compare(0, accepted.size(), accepted) == 0) {
            received.erase(0, accepted.size());
        } else {
            return; // the rest of an answer is still on its way
        }
        Guess(guesser);
    }
}

void LoginFlood::Guess(Guesser& guesser)
{
    const std::string& login = logins[guesser.next];
    guesser.next = (guesser.next + 1) % logins.size();
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
    std::array<char, 64> bytes{};
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
        Drain(holder, reopen);
    });
}

// Nothing is sent; what the server sends (an operator's greeting) is read
// and let go, and the read that fails is the server closing.
void IdleHolders::Drain(Holder& holder, std::function<void()> reopen)
{
    holder.socket.async_read_some(
        boost::asio::buffer(holder.bytes),
        [this, &holder, alive = alive, reopen](const error_code& error, std::size_t) {
            if (!*alive)
                return;
            if (error)
                reopen();
            else
                Drain(holder, reopen);
        });
}

LoginProbe::LoginProbe(boost::asio::io_context& io, tcp::endpoint service,
                       const std::string& fromAddress, std::string login,
                       std::chrono::milliseconds period)
    : io(io), service(service), from(boost::asio::ip::make_address(fromAddress)),
      login(std::move(login)), period(period), socket(io), next(io), giveUp(io)
{}

LoginProbe::~LoginProbe()
{
    *alive = false;
    error_code ignored;
    socket.close(ignored);
    next.cancel();
    giveUp.cancel();
}

void LoginProbe::Start()
{
    Try();
}

void LoginProbe::Try()
{
    ++tries;
    trying = true;
    greeted = false;
    received.clear();
    began = std::chrono::steady_clock::now();
    error_code error;
    socket.open(service.protocol(), error);
    socket.bind(tcp::endpoint(from, 0), error);
    giveUp.expires_after(std::chrono::seconds(5));
    giveUp.async_wait([this, alive = alive](const error_code& error) {
        if (*alive && !error)
            Done(false);
    });
    socket.async_connect(service, [this, alive = alive, try_ = tries](const error_code& failed) {
        if (!*alive || !trying || try_ != tries)
            return;
        if (failed)
            Done(false);
        else
            Read();
    });
}

// Each completion belongs to the try that started it: one that comes after
// its try gave up does nothing.
void LoginProbe::Read()
{
    socket.async_read_some(boost::asio::buffer(buffer), [this, alive = alive,
                                                         try_ = tries](const error_code& error,
                                                                       std::size_t count) {
        if (!*alive || !trying || try_ != tries)
            return;
        if (error) {
            Done(false);
            return;
        }
        received.append(buffer.data(), count);
        if (!greeted) {
            // The greeting comes in one write.
            greeted = true;
            received.clear();
            ::send(socket.native_handle(), login.data(), login.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } else if (received.size() >= OperatorProtocol::LoginAccepted.size()) {
            Done(received.compare(0, OperatorProtocol::LoginAccepted.size(),
                                  OperatorProtocol::LoginAccepted) == 0);
            return;
        }
        Read();
    });
}

void LoginProbe::Done(bool ok)
{
    trying = false;
    ++ended;
    giveUp.cancel();
    error_code ignored;
    socket.close(ignored);
    if (ok) {
        ++loggedIn;
        slowest = std::max(slowest, std::chrono::steady_clock::now() - began);
    }
    next.expires_after(period);
    next.async_wait([this, alive = alive](const error_code& error) {
        if (*alive && !error)
            Try();
    });
}

} // namespace korvel
