#pragma once

// An operator workstation: one blocking TCP connection to the service's
// operator port, and the steps the tests take with one (log in, send a
// message the service has read, expect the next bytes).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

// Reads until count bytes have arrived, the peer closes, or the timeout passes;
// returns what arrived.
std::string ReadFrom(int fd, std::size_t count, std::chrono::milliseconds timeout = 10s);

class OperatorClient
{
public:
    struct Options
    {
        std::string localAddress = "127.0.0.1";
        std::uint16_t localPort = 0; // 0: any
        int receiveBufferBytes = 0;  // 0: the system's default
    };

    explicit OperatorClient(std::uint16_t servicePort);
    OperatorClient(std::uint16_t servicePort, const Options& options);
    ~OperatorClient();
    OperatorClient(const OperatorClient&) = delete;
    OperatorClient& operator=(const OperatorClient&) = delete;

    int Fd() const { return fd; }
    std::uint16_t LocalPort() const { return localPort; }
    const std::string& LocalAddress() const { return localAddress; }
    std::uint16_t ServicePort() const { return servicePort; }

    // One send of exactly these bytes.
    void Send(const std::string& bytes);
    std::string Read(std::size_t count, std::chrono::milliseconds timeout = 10s);
    // Reads the greeting, "SESSION " and the session number.
    std::string ReadGreeting();
    // True once the service has closed the connection.
    bool WaitClosed(std::chrono::milliseconds timeout = 10s);
    // Closes with a reset instead of an orderly end.
    void Reset();

private:
    int fd = -1;
    std::string localAddress;
    std::uint16_t localPort = 0;
    std::uint16_t servicePort = 0;
};

// The kernel's view of the service's end of an operator connection.
struct ServiceSocketState
{
    int tcpState;            // as in /proc/net/tcp (1 = established)
    std::size_t unreadBytes; // received but not yet read by the service
};
std::optional<ServiceSocketState> ServiceSideOf(const OperatorClient& client);

// Connects and reads the greeting; throws std::runtime_error unless it is
// "SESSION" and the client's port.
std::unique_ptr<OperatorClient> Greeted(std::uint16_t servicePort,
                                        const OperatorClient::Options& options = {});

// Connects, reads the greeting and logs in with "LOGIN name password" ("LOGIN
// name" without a password); throws std::runtime_error unless the service
// answers "OK".
std::unique_ptr<OperatorClient> LogIn(std::uint16_t servicePort, const std::string& name,
                                      const std::string& password,
                                      const OperatorClient::Options& options = {});

// Sends the bytes and waits until the service has read them, so that each
// call is one message to the service however fast they follow each other.
// False if the service did not read them in time.
bool SendMessage(OperatorClient& client, const std::string& bytes);

// Whatever the service has sent that has not been read yet.
std::string Drain(OperatorClient& client);

// A test failure unless the next bytes the client reads are the text.
void ExpectNext(OperatorClient& client, const std::string& text);

// Sends the message and expects its answer as the next bytes: whatever the
// test proves did not come would have come before it (a LOGIN and its "OK"
// or "FAILURE" make the usual marker).
void ExpectOnlyAnswer(OperatorClient& client, const std::string& message,
                      const std::string& answer);

} // namespace korvel
