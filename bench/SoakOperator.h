#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

// One operator connection of the soak: connects, and counts what the service
// sends it: the greeting, the answers to LOGIN (OK or FAILURE) and the
// notices (CAMERA messages and control notices, each starting with '#').
// Messages carry no delimiter; the soak's user and camera names hold none of
// the texts it looks for, so counting where each kind begins is exact.
class SoakOperator
{
public:
    SoakOperator(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& service,
                 std::uint16_t index);
    ~SoakOperator();
    SoakOperator(const SoakOperator&) = delete;
    SoakOperator& operator=(const SoakOperator&) = delete;

    // The soak's own number for it, which its frames carry.
    std::uint16_t Index() const { return index; }
    bool Greeted() const { return greeted; }
    // The connection failed or the service closed it.
    bool Ended() const { return ended; }
    const std::string& Problem() const { return problem; }
    // LOGINs sent whose answer has not come yet.
    std::size_t AnswersPending() const { return loginsSent - answers; }
    std::size_t Failures() const { return failures; }
    // Notices received since the last call.
    std::uint64_t TakeNotices();
    std::int64_t LastSend() const { return lastSend; }
    // The port this end has, once connected; 0 before.
    unsigned short LocalPort() const { return localPort; }

    // One message in one write of its own; false when the write failed.
    bool Send(const void* bytes, std::size_t count, std::int64_t now);
    bool Login(const std::string& user, const std::string& password, std::int64_t now);
    // Closes the connection from this side.
    void Close();

private:
    void Read();
    void Consume(const char* bytes, std::size_t count);
    void End(const std::string& why);

    std::uint16_t index;
    boost::asio::ip::tcp::socket socket;
    std::array<char, 4096> buffer{};
    std::string pending; // the part of a message that may still grow into a marker
    bool greeted = false;
    bool ended = false;
    std::string problem;
    std::size_t loginsSent = 0;
    std::size_t answers = 0;
    std::size_t failures = 0;
    std::uint64_t notices = 0;
    std::int64_t lastSend = 0;
    unsigned short localPort = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace korvel
