#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvel {

// What the far end of an operator connection speaks: the service greets and
// wants a LOGIN; a plain relay says nothing.
enum class OperatorDialect
{
    Service,
    Raw
};

// One operator connection of the bench: connects, reads the greeting, logs
// in, then sends frames, each with one write of its own, and drains every
// notification the service sends, counting the control notices (each starts
// with '#') with the kernel's arrival stamp.
//
// The io_context must outlive the link; see CameraFarm for how a run ends.
class OperatorLink
{
public:
    using Clock = std::chrono::steady_clock;

    OperatorLink(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& relay,
                 OperatorDialect protocol, std::string user, std::string password);
    OperatorLink(const OperatorLink&) = delete;
    OperatorLink& operator=(const OperatorLink&) = delete;

    // Connects (trying a refused connection again until `deadline`, while the
    // relay starts), and logs in; then calls `settled` once: Ready() or Failed().
    void Start(Clock::time_point deadline, std::function<void()> settled);
    bool Ready() const { return state == State::Ready; }
    bool Failed() const { return state == State::Failed; }
    // Why the link failed, or why a ready link went away.
    const std::string& Problem() const { return problem; }

    // The service has sent a CAMERA message: this session works with a camera.
    bool CameraSelected() const { return cameraSelected; }
    std::size_t Notices() const { return notices; }
    // From now on keep the arrival stamp of every control notice.
    void RecordNotices() { recording = true; }
    const std::vector<std::int64_t>& NoticeTimes() const { return noticeTimes; }

    // One write, without waiting; false unless every byte went.
    bool Send(const std::uint8_t* bytes, std::size_t count);

private:
    enum class State
    {
        Idle,
        Connecting,
        AwaitGreeting,
        AwaitLoginReply,
        Ready,
        Failed
    };

    void Connect();
    void OnConnected(const boost::system::error_code& error);
    void Read();
    // Receives what the socket holds; false once the link has failed.
    bool Drain();
    void Consume(const char* bytes, std::size_t count, std::int64_t arrival);
    void Stream(const char* bytes, std::size_t count, std::int64_t arrival);
    void BecomeReady();
    void Fail(const std::string& why);

    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer retryTimer;
    boost::asio::ip::tcp::endpoint relay;
    OperatorDialect protocol;
    std::string user;
    std::string password;
    Clock::time_point deadline;
    std::function<void()> settled;

    State state = State::Idle;
    std::string problem;
    std::string handshake; // greeting and LOGIN reply, as far as they have come
    std::string lookout;   // recent text, searched for the CAMERA message
    bool cameraSelected = false;
    std::size_t notices = 0;
    bool recording = false;
    std::vector<std::int64_t> noticeTimes;
};

} // namespace korvel
