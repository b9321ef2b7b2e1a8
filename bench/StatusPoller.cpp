#include "StatusPoller.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

namespace korvel {

namespace {

const char* const Targets[] = {"/status", "/metrics"};

} // namespace

StatusPoller::StatusPoller(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint server,
                           std::chrono::milliseconds period)
    : io(io), server(server), period(period), timer(io)
{}

StatusPoller::~StatusPoller()
{
    *alive = false;
    boost::system::error_code ignored;
    timer.cancel(ignored);
    if (socket)
        socket->close(ignored);
}

void StatusPoller::Start()
{
    timer.expires_after(std::chrono::milliseconds(0));
    Tick();
}

// A poll still under way when the next is due is counted as failed, as a
// monitoring system's timeout would.
void StatusPoller::Tick()
{
    timer.async_wait([this, alive = alive](const boost::system::error_code& error) {
        if (error || !*alive)
            return;
        if (busy)
            ++failed;
        else
            Ask(0);
        timer.expires_at(timer.expiry() + period);
        Tick();
    });
}

void StatusPoller::Ask(std::size_t target)
{
    busy = true;
    socket = std::make_unique<boost::asio::ip::tcp::socket>(io);
    request = std::string("GET ") + Targets[target] +
              " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    answer.clear();
    socket->async_connect(
        server, [this, target, alive = alive](const boost::system::error_code& error) {
            if (!*alive)
                return;
            if (error) {
                OnRead(target, error, 0);
                return;
            }
            boost::asio::async_write(
                *socket, boost::asio::buffer(request),
                [this, target, alive](const boost::system::error_code& error, std::size_t) {
                    if (!*alive)
                        return;
                    if (error)
                        OnRead(target, error, 0);
                    else
                        OnRead(target, {}, 0);
                });
        });
}

void StatusPoller::OnRead(std::size_t target, const boost::system::error_code& error,
                          std::size_t bytes)
{
    answer.append(buffer.data(), bytes);
    if (error) {
        const bool whole =
            error == boost::asio::error::eof && answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
        ++(whole ? answered : failed);
        busy = false;
        if (whole && target + 1 < std::size(Targets))
            Ask(target + 1);
        return;
    }
    socket->async_read_some(
        boost::asio::buffer(buffer),
        [this, target, alive = alive](const boost::system::error_code& readError, std::size_t got) {
            if (*alive)
                OnRead(target, readError, got);
        });
}

} // namespace korvel
