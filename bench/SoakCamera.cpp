#include "SoakCamera.h"

#include "Clock.h"

#include <boost/asio/post.hpp>
#include <boost/asio/socket_base.hpp>

#include <stdexcept>

namespace korvel {

using boost::asio::ip::tcp;

SoakCamera::SoakCamera(boost::asio::io_context& io, std::uint8_t number, SoakLedger& ledger)
    : io(io), number(number), ledger(ledger), address("127.0.1." + std::to_string(number)),
      refuseTimer(io)
{
    Listen();
}

SoakCamera::~SoakCamera()
{
    *alive = false;
    for (const auto& connection : connections) {
        boost::system::error_code ignored;
        connection->socket.close(ignored);
    }
}

std::size_t SoakCamera::Open() const
{
    std::size_t open = 0;
    for (const auto& connection : connections)
        open += connection->open ? 1 : 0;
    return open;
}

void SoakCamera::Listen()
{
    refuseTimer.cancel();
    if (acceptor)
        return;
    acceptor = std::make_unique<tcp::acceptor>(io);
    const tcp::endpoint endpoint(boost::asio::ip::make_address_v4(address), port);
    acceptor->open(endpoint.protocol());
    acceptor->set_option(tcp::acceptor::reuse_address(true));
    boost::system::error_code error;
    acceptor->bind(endpoint, error);
    if (error)
        throw std::runtime_error("camera " + std::to_string(number) + " cannot listen on " + address +
                                 ":" + std::to_string(port) + ": " + error.message());
    acceptor->listen();
    port = acceptor->local_endpoint().port();
    ++generation;
    Accept();
}

void SoakCamera::Refuse(std::chrono::milliseconds period)
{
    if (acceptor) {
        boost::system::error_code ignored;
        acceptor->close(ignored);
        acceptor.reset();
    }
    refuseTimer.expires_after(period);
    refuseTimer.async_wait([this, alive = alive](const boost::system::error_code& error) {
        if (*alive && !error)
            Listen();
    });
}

void SoakCamera::Drop()
{
    // After the reads that have already completed, whose frames come first.
    boost::asio::post(io, [this, alive = alive] {
        if (!*alive)
            return;
        const std::int64_t now = WallNanos();
        std::array<std::uint8_t, 4096> drained;
        for (const auto& connection : connections) {
            if (!connection->open)
                continue;
            // What the service wrote before the drop arrives; what it writes
            // after meets the reset.
            boost::system::error_code error;
            connection->socket.non_blocking(true, error);
            while (!error) {
                const std::size_t got = connection->socket.read_some(boost::asio::buffer(drained), error);
                if (!error)
                    Consume(*connection, drained.data(), got);
            }
            connection->socket.set_option(boost::asio::socket_base::linger(true, 0), error);
            connection->socket.close(error);
            End(*connection);
        }
        ledger.CameraDropped(number, now);
    });
}

void SoakCamera::Accept()
{
    auto connection = std::make_shared<Connection>(io);
    acceptor->async_accept(connection->socket, [this, alive = alive, connection,
                                                listening = generation](
                                                   const boost::system::error_code& error) {
        if (!*alive || !acceptor || generation != listening)
            return;
        if (!error) {
            connection->id = nextConnection++;
            ledger.ConnectionOpened(number, connection->id, WallNanos());
            std::erase_if(connections, [](const auto& old) { return !old->open; });
            connections.push_back(connection);
            Read(connection);
        }
        Accept();
    });
}

void SoakCamera::Read(const std::shared_ptr<Connection>& connection)
{
    connection->socket.async_read_some(
        boost::asio::buffer(connection->buffer),
        [this, alive = alive, connection](const boost::system::error_code& error, std::size_t got) {
            if (!*alive || !connection->open)
                return;
            if (error) {
                End(*connection);
                boost::system::error_code ignored;
                connection->socket.close(ignored);
                return;
            }
            Consume(*connection, connection->buffer.data(), got);
            Read(connection);
        });
}

void SoakCamera::Consume(Connection& connection, const std::uint8_t* bytes, std::size_t count)
{
    const std::int64_t now = WallNanos();
    std::vector<std::uint8_t>& pending = connection.pending;
    pending.insert(pending.end(), bytes, bytes + count);
    std::size_t at = 0;
    while (pending.size() - at >= BenchFrame::Length) {
        BenchFrame::Tag tag;
        if (BenchFrame::Read(pending.data() + at, tag)) {
            ledger.Arrival(number, connection.id, tag, now);
            at += BenchFrame::Length;
        } else {
            ++garbled;
            ++at;
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
}

void SoakCamera::End(Connection& connection)
{
    if (!connection.open)
        return;
    connection.open = false;
    ledger.ConnectionEnded(number, connection.id, WallNanos());
}

} // namespace korvel
