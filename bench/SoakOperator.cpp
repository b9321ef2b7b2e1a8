#include "SoakOperator.h"

#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <string_view>

namespace korvel {

using boost::asio::ip::tcp;

namespace {

// Where each message the soak counts begins.
constexpr std::array<std::string_view, 5> Markers = {"SESSION ", "OK", "FAILURE", "CAMERA\t",
                                                     "#"};

} // namespace

SoakOperator::SoakOperator(boost::asio::io_context& io, const tcp::endpoint& service,
                           std::uint16_t index)
    : index(index), socket(io)
{
    socket.async_connect(service, [this, alive = alive](const boost::system::error_code& error) {
        if (!*alive)
            return;
        if (error)
            return End("cannot connect: " + error.message());
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        localPort = socket.local_endpoint(ignored).port();
        Read();
    });
}

SoakOperator::~SoakOperator()
{
    *alive = false;
    boost::system::error_code ignored;
    socket.close(ignored);
}

std::uint64_t SoakOperator::TakeNotices()
{
    return std::exchange(notices, 0);
}

bool SoakOperator::Send(const void* bytes, std::size_t count, std::int64_t now)
{
    if (ended || !greeted)
        return false;
    boost::system::error_code error;
    boost::asio::write(socket, boost::asio::buffer(bytes, count), error);
    lastSend = now;
    if (error) {
        End("write failed: " + error.message());
        return false;
    }
    return true;
}

bool SoakOperator::Login(const std::string& user, const std::string& password, std::int64_t now)
{
    const std::string message = "LOGIN " + user + " " + password;
    if (!Send(message.data(), message.size(), now))
        return false;
    ++loginsSent;
    return true;
}

void SoakOperator::Close()
{
    ended = true;
    boost::system::error_code ignored;
    socket.close(ignored);
}

void SoakOperator::Read()
{
    socket.async_read_some(boost::asio::buffer(buffer), [this, alive = alive](
                                                            const boost::system::error_code& error,
                                                            std::size_t got) {
        if (!*alive || ended)
            return;
        if (error)
            return End(error == boost::asio::error::eof ? "closed by the service"
                                                        : "read failed: " + error.message());
        Consume(buffer.data(), got);
        Read();
    });
}

void SoakOperator::Consume(const char* bytes, std::size_t count)
{
    pending.append(bytes, count);
    std::size_t at = 0;
    while (at < pending.size()) {
        const std::string_view rest(pending.data() + at, pending.size() - at);
        bool partial = false;
        std::size_t matched = 0;
        for (std::size_t kind = 0; kind < Markers.size() && matched == 0; ++kind) {
            const std::string_view marker = Markers[kind];
            if (rest.size() < marker.size()) {
                partial = partial || marker.substr(0, rest.size()) == rest;
                continue;
            }
            if (rest.substr(0, marker.size()) != marker)
                continue;
            matched = marker.size();
            if (kind == 0)
                greeted = true;
            else if (kind == 1 || kind == 2) {
                ++answers;
                failures += kind == 2 ? 1 : 0;
            } else
                ++notices;
        }
        if (matched == 0 && partial)
            break; // wait for the rest of what may be a marker
        at += matched > 0 ? matched : 1;
    }
    pending.erase(0, at);
}

void SoakOperator::End(const std::string& why)
{
    if (ended)
        return;
    ended = true;
    problem = why;
}

} // namespace korvel
