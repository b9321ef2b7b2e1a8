#pragma once

#include "korvelctl/CommandWords.h"
#include "korvelctl/Display.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// One operator connection to the service.
//
//   commands (script or standard input) -> queue -> one write -> gap -> next
//   socket reads -> split into messages -> shown; the greeting and the LOGIN
//   answers let the queue go on
//
// The service takes whatever one receive delivers as one message, so every
// message goes out with one write, Nagle's delay is off, and the next message
// waits until the write has completed and a gap has passed (20 ms unless
// told otherwise). Nothing is sent before the greeting, and after a LOGIN
// nothing is sent until its answer has come.
//
// With 'reconnect', a connection that drops is made again to the same
// address, after 0.1 s and then twice as long each time up to 2 s; the last
// accepted LOGIN is sent again, and the current camera stays the one steered
// (the service learns it from the next command). Commands given meanwhile
// wait in the queue; the message being written when the connection dropped
// is lost. TCP keep-alives and a limit on unacknowledged data tell a dead
// peer (a server that lost its power) within a few seconds.
//
// Everything runs on the one thread that runs the I/O loop.
class OperatorClient
{
public:
    enum Status
    {
        Success = 0,
        UsageError = 1,
        LoginRefused = 2,
        ConnectionLost = 3
    };

    struct Options
    {
        std::string host;
        std::string port;
        // A script ends with status LoginRefused at a refused login and with
        // ConnectionLost when an answer does not come in time.
        bool scripted = false;
        std::chrono::milliseconds gap{20};
        // After the last command, how long to go on showing what arrives.
        std::chrono::milliseconds linger{500};
        std::chrono::milliseconds answerTimeout{10000};
        ColourMode colour = ColourMode::Plain;
        bool reconnect = false;
    };

    OperatorClient(boost::asio::io_context& io, const Options& options);
    OperatorClient(const OperatorClient&) = delete;
    OperatorClient& operator=(const OperatorClient&) = delete;

    void Start();
    void Add(const std::vector<OperatorCommand>& commands);
    // No more commands will come: end after the queue and the linger time.
    void EndOfInput();
    int ExitStatus() const { return exitStatus; }

private:
    enum class Awaiting
    {
        Nothing,
        Greeting,
        LoginAnswer
    };

    void OnResolved(const boost::system::error_code& error,
                    const boost::asio::ip::tcp::resolver::results_type& endpoints);
    void OnConnected(const boost::system::error_code& error);
    void Established();
    void Read();
    void OnRead(const boost::system::error_code& error, std::size_t length);
    // The connection failed after it was made: end, or make it again.
    void Dropped(const std::string& reason);
    void ScheduleReconnect();
    void Reconnect();
    void OnReconnected(const boost::system::error_code& error);
    void Restore();
    void Restored();
    void Show(const std::string& message);
    void Next();
    void Send(const OperatorCommand& command);
    void OnWritten(const boost::system::error_code& error);
    void Pause(std::chrono::milliseconds duration);
    void Await(Awaiting what);
    void OnAnswerTimer(const boost::system::error_code& error);
    void Answered();
    void Finish(int status, const std::string& reason);
    void Print(const std::string& line) const;
    // HOST:PORT as given, printable.
    std::string Address() const;
    std::string DescribeSent(const OperatorCommand& command, const Bytes& bytes) const;

    Options options;
    boost::asio::ip::tcp::resolver resolver;
    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer pauseTimer;  // gap, sleep and linger
    boost::asio::steady_timer answerTimer; // greeting and LOGIN answer
    boost::asio::steady_timer retryTimer;  // reconnection: the wait, then the attempt
    boost::asio::ip::tcp::endpoint peer;   // where the first connection went
    std::array<char, 4096> readBuffer{};
    Bytes outgoing; // the message being written
    std::deque<OperatorCommand> queue;
    Awaiting awaiting = Awaiting::Nothing;
    bool connected = false;
    bool writing = false;
    bool pausing = false;
    bool lingering = false;
    bool inputEnded = false;
    bool finished = false;
    int camera = 1;
    int exitStatus = Success;
    // Reconnection. Handlers of an earlier connection see a newer generation
    // and do nothing.
    unsigned generation = 0;
    int attempts = 0; // since the connection dropped
    bool everConnected = false;
    bool restoring = false;                   // a new connection, before LOGIN and camera are back
    std::optional<OperatorCommand> sentLogin; // the last LOGIN sent
    std::optional<OperatorCommand> acceptedLogin; // the last one the service accepted
};

} // namespace korvel
