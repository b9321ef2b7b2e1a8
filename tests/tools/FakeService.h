#pragma once

#include "client/OperatorProtocol.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace korvel {

// A stand-in for the service's operator port on 127.0.0.1: greets each
// client (one connection at a time), records every receive as one message
// (as the service does), answers LOGIN with "OK" or "FAILURE", and can send
// further texts or close the first connection at a given point.
class FakeService
{
public:
    struct Behaviour
    {
        std::string greeting = OperatorProtocol::Greeting(1234);
        std::set<std::string> acceptedLogins = {OperatorProtocol::LoginMessage("a", "b")};
        // Sent in the same write as a LOGIN answer, and after messages that
        // start with the given text.
        std::string afterLogin;
        std::vector<std::pair<std::string, std::string>> replies;
        // Close the first connection after this many messages (0: never).
        std::size_t closeAfter = 0;
    };

    explicit FakeService(const Behaviour& behaviour);
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    unsigned short Port() const { return port; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
    std::vector<std::string> Messages() const;
    // The client's port of each connection accepted so far.
    std::vector<unsigned short> ClientPorts() const;

private:
    void Run();
    void Serve(int connection, bool first);
    void Send(int connection, const std::string& text);

    Behaviour behaviour;
    int listener = -1;
    unsigned short port = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::vector<std::string> messages;
    std::vector<unsigned short> clientPorts;
    std::thread thread;
};

// "FF 03 00 04 14 00 1B" for bytes that are not printable text, else the text.
std::string ShowMessage(const std::string& message);

} // namespace korvel
