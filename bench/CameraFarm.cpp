#include "CameraFarm.h"

#include "Clock.h"
#include "StampedReceive.h"

#include <boost/asio/error.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>

#include <sys/socket.h>

namespace korvel {

using boost::asio::ip::tcp;
using boost::system::error_code;

struct CameraFarm::Listener
{
    Listener(boost::asio::io_context& io, std::uint8_t number) : acceptor(io), number(number) {}
    tcp::acceptor acceptor;
    std::uint8_t number;
    std::size_t open = 0; // connections of this camera that are still open
};

struct CameraFarm::Connection
{
    Connection(tcp::socket socket, Listener& listener)
        : socket(std::move(socket)), listener(listener), line(this->socket.get_executor())
    {}
    tcp::socket socket;
    Listener& listener;
    // Behind a slow line: its tick, and when (wall clock, nanoseconds) it
    // will have carried the bytes taken so far.
    boost::asio::steady_timer line;
    double lineFreeAt = 0;
    // A frame split across two reads waits here for its rest.
    BenchFrame::Bytes partial{};
    std::size_t partialLength = 0;
};

CameraFarm::CameraFarm(boost::asio::io_context& io, const std::vector<std::uint8_t>& numbers,
                       FrameLedger& ledger, bool checkRouting, double lineBytes)
    : ledger(ledger), checkRouting(checkRouting), lineBytes(lineBytes), epoch(WallNanos()),
      readBuffer(64 * 1024)
{
    for (std::uint8_t number : numbers) {
        auto listener = std::make_unique<Listener>(io, number);
        const std::string address = "127.0.1." + std::to_string(number);
        const tcp::endpoint endpoint(boost::asio::ip::make_address_v4(address), 0);
        listener->acceptor.open(endpoint.protocol());
        listener->acceptor.bind(endpoint);
        listener->acceptor.listen(boost::asio::socket_base::max_listen_connections);
        endpoints.push_back({number, address, listener->acceptor.local_endpoint().port()});
        listeners.push_back(std::move(listener));
        Accept(*listeners.back());
    }
}

CameraFarm::~CameraFarm() = default;

std::size_t CameraFarm::CamerasConnected() const
{
    std::size_t count = 0;
    for (const auto& listener : listeners)
        if (listener->open > 0)
            ++count;
    return count;
}

void CameraFarm::Accept(Listener& listener)
{
    listener.acceptor.async_accept([this, &listener](const error_code& error, tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted)
            return;
        if (!error) {
            ++accepted;
            ++listener.open;
            EnableReceiveStamps(socket.native_handle());
            socket.non_blocking(true);
            connections.push_back(std::make_unique<Connection>(std::move(socket), listener));
            if (lineBytes > 0)
                Carry(*connections.back());
            else
                Read(*connections.back());
        } else {
            std::cerr << "camera " << int(listener.number) << ": accept: " << error.message()
                      << "\n";
        }
        Accept(listener);
    });
}

void CameraFarm::Read(Connection& connection)
{
    // Readiness comes as edges: whatever arrived before the wait is read
    // first, or its edge might have passed unseen.
    if (!Drain(connection))
        return;
    connection.socket.async_wait(tcp::socket::wait_read,
                                 [this, &connection](const error_code& error) {
                                     if (error != boost::asio::error::operation_aborted)
                                         Read(connection);
                                 });
}

bool CameraFarm::Drain(Connection& connection)
{
    for (;;) {
        std::int64_t arrival = 0;
        const ssize_t count = ReceiveStamped(connection.socket.native_handle(), readBuffer.data(),
                                             readBuffer.size(), arrival);
        if (count > 0) {
            Consume(connection, readBuffer.data(), static_cast<std::size_t>(count), arrival);
            // A short read emptied the socket, and what comes later raises a
            // new edge: no second receive just to hear EAGAIN.
            if (static_cast<std::size_t>(count) < readBuffer.size())
                return true;
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        // The relay closed this link (or it broke): the camera waits for the next.
        --connection.listener.open;
        error_code ignored;
        connection.socket.close(ignored);
        return false;
    }
}

// Every tick the line has carried what it could since the last: the bytes
// taken leave one after the other, a byte's time apart, from when the line
// was last free; a line that finds less waiting than it could carry idles
// (no time is saved up for later).
void CameraFarm::Carry(Connection& connection)
{
    constexpr auto Tick = std::chrono::milliseconds(4);
    const double byteNanos = 1e9 / lineBytes;
    // From the farm's start, where a double has nanoseconds to spare.
    const auto now = static_cast<double>(WallNanos() - epoch);
    const auto carried = static_cast<std::size_t>((now - connection.lineFreeAt) / byteNanos + 1e-9);
    if (carried > 0) {
        const ssize_t count = ::recv(connection.socket.native_handle(), readBuffer.data(),
                                     std::min(carried, readBuffer.size()), MSG_DONTWAIT);
        if (count == 0 ||
            (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            --connection.listener.open;
            error_code ignored;
            connection.socket.close(ignored);
            return;
        }
        for (ssize_t i = 0; i < count; ++i) {
            connection.lineFreeAt += byteNanos;
            Consume(connection, readBuffer.data() + i, 1,
                    epoch + static_cast<std::int64_t>(connection.lineFreeAt));
        }
        // Less than the line could carry: it idles now, and the next byte
        // to come leaves a byte's time after it came (within a tick).
        if (count < static_cast<ssize_t>(carried))
            connection.lineFreeAt = std::max(connection.lineFreeAt, now - byteNanos);
    }
    connection.line.expires_after(Tick);
    connection.line.async_wait([this, &connection](const error_code& error) {
        if (!error)
            Carry(connection);
    });
}

void CameraFarm::Consume(Connection& connection, const std::uint8_t* bytes, std::size_t count,
                         std::int64_t arrival)
{
    const auto deliver = [&](const std::uint8_t* frame) {
        BenchFrame::Tag tag;
        if (!BenchFrame::Read(frame, tag))
            return false;
        const bool misrouted = checkRouting && tag.camera != connection.listener.number;
        ledger.RecordArrival(tag, arrival, misrouted);
        return true;
    };

    std::size_t at = 0;
    while (at < count) {
        // Complete a frame begun in an earlier read first.
        if (connection.partialLength > 0 || count - at < BenchFrame::Length) {
            const std::size_t take =
                std::min(BenchFrame::Length - connection.partialLength, count - at);
            std::copy(bytes + at, bytes + at + take,
                      connection.partial.begin() + static_cast<long>(connection.partialLength));
            connection.partialLength += take;
            at += take;
            if (connection.partialLength < BenchFrame::Length)
                break;
            if (deliver(connection.partial.data())) {
                connection.partialLength = 0;
            } else {
                // Out of step: drop one byte and look again.
                ++garbled;
                std::copy(connection.partial.begin() + 1, connection.partial.end(),
                          connection.partial.begin());
                connection.partialLength = BenchFrame::Length - 1;
            }
            continue;
        }
        if (deliver(bytes + at)) {
            at += BenchFrame::Length;
        } else {
            ++garbled;
            ++at;
        }
    }
}

} // namespace korvel
