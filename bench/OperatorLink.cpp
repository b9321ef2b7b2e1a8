#include "OperatorLink.h"

#include "StampedReceive.h"
#include "client/OperatorProtocol.h"

#include <boost/asio/error.hpp>

#include <array>
#include <cctype>
#include <cerrno>
#include <string_view>
#include <utility>

#include <sys/socket.h>

namespace korvel {

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

bool StartsWith(const std::string& text, std::string_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// True while `text` could still become `prefix` as more bytes come.
bool CouldBecome(const std::string& text, std::string_view prefix)
{
    return text.size() < prefix.size() && prefix.compare(0, text.size(), text) == 0;
}

} // namespace

OperatorLink::OperatorLink(boost::asio::io_context& io, const tcp::endpoint& relay,
                           OperatorDialect protocol, std::string user, std::string password)
    : socket(io), retryTimer(io), relay(relay), protocol(protocol), user(std::move(user)),
      password(std::move(password))
{}

void OperatorLink::Start(Clock::time_point until, std::function<void()> onSettled)
{
    deadline = until;
    settled = std::move(onSettled);
    Connect();
}

void OperatorLink::Connect()
{
    state = State::Connecting;
    error_code ignored;
    socket.close(ignored);
    socket.async_connect(relay, [this](const error_code& error) { OnConnected(error); });
}

void OperatorLink::OnConnected(const error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error == boost::asio::error::connection_refused && Clock::now() < deadline) {
        // The relay is not listening yet.
        retryTimer.expires_after(std::chrono::milliseconds(20));
        retryTimer.async_wait([this](const error_code& waitError) {
            if (!waitError)
                Connect();
        });
        return;
    }
    if (error) {
        Fail("connect: " + error.message());
        return;
    }
    error_code ignored;
    // Each frame is a message of its own: never let two share a segment.
    socket.set_option(tcp::no_delay(true), ignored);
    socket.non_blocking(true, ignored);
    EnableReceiveStamps(socket.native_handle());
    if (protocol == OperatorDialect::Raw)
        BecomeReady();
    else
        state = State::AwaitGreeting;
    Read();
}

void OperatorLink::Read()
{
    // Whatever arrived before the wait is read first (see CameraFarm::Read).
    if (!Drain())
        return;
    socket.async_wait(tcp::socket::wait_read, [this](const error_code& error) {
        if (error != boost::asio::error::operation_aborted)
            Read();
    });
}

bool OperatorLink::Drain()
{
    std::array<char, 16 * 1024> buffer;
    for (;;) {
        std::int64_t arrival = 0;
        const ssize_t count =
            ReceiveStamped(socket.native_handle(), buffer.data(), buffer.size(), arrival);
        if (count > 0) {
            Consume(buffer.data(), static_cast<std::size_t>(count), arrival);
            if (state == State::Failed)
                return false;
            if (static_cast<std::size_t>(count) < buffer.size())
                return true;
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        Fail(count == 0 ? "the relay closed the connection" : "receive failed");
        return false;
    }
}

void OperatorLink::Consume(const char* bytes, std::size_t count, std::int64_t arrival)
{
    if (state == State::Ready) {
        Stream(bytes, count, arrival);
        return;
    }
    handshake.append(bytes, count);
    if (state == State::AwaitGreeting) {
        // "SESSION " and the session number, in one write of the service.
        const std::string_view greeting = OperatorProtocol::GreetingPrefix;
        if (CouldBecome(handshake, greeting))
            return;
        if (!StartsWith(handshake, greeting) || handshake.size() == greeting.size() ||
            !std::isdigit(static_cast<unsigned char>(handshake[greeting.size()]))) {
            Fail("unexpected greeting \"" + handshake + "\"");
            return;
        }
        handshake.clear();
        state = State::AwaitLoginReply;
        const std::string login = OperatorProtocol::LoginMessage(user, password);
        if (!Send(reinterpret_cast<const std::uint8_t*>(login.data()), login.size()))
            Fail("could not send LOGIN");
        return;
    }
    if (state == State::AwaitLoginReply) {
        if (CouldBecome(handshake, OperatorProtocol::LoginAccepted) ||
            CouldBecome(handshake, OperatorProtocol::LoginRefused))
            return;
        if (!StartsWith(handshake, OperatorProtocol::LoginAccepted)) {
            Fail("login refused: \"" + handshake + "\"");
            return;
        }
        const std::string rest = handshake.substr(OperatorProtocol::LoginAccepted.size());
        handshake.clear();
        BecomeReady();
        Stream(rest.data(), rest.size(), arrival);
    }
}

void OperatorLink::Stream(const char* bytes, std::size_t count, std::int64_t arrival)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == OperatorProtocol::NoticeMark) {
            ++notices;
            if (recording)
                noticeTimes.push_back(arrival);
        }
    }
    if (!cameraSelected && count > 0) {
        lookout.append(bytes, count);
        if (lookout.find(OperatorProtocol::CameraTag) != std::string::npos) {
            cameraSelected = true;
            lookout.clear();
        } else if (lookout.size() > 64) {
            lookout.erase(0, lookout.size() - 8);
        }
    }
}

bool OperatorLink::Send(const std::uint8_t* bytes, std::size_t count)
{
    if (!socket.is_open())
        return false;
    const ssize_t sent = ::send(socket.native_handle(), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == static_cast<ssize_t>(count);
}

void OperatorLink::BecomeReady()
{
    state = State::Ready;
    if (settled)
        std::exchange(settled, nullptr)();
}

void OperatorLink::Fail(const std::string& why)
{
    const bool wasReady = state == State::Ready;
    state = State::Failed;
    problem = wasReady ? "lost after login: " + why : why;
    error_code ignored;
    socket.close(ignored);
    if (settled)
        std::exchange(settled, nullptr)();
}

} // namespace korvel
