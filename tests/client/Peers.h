#pragma once

// The far ends of the service's connections, as real sockets: operator
// clients and network cameras.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

// Reads until count bytes have arrived, the peer closes, or the timeout passes;
// returns what arrived.
std::string ReadFrom(int fd, std::size_t count, std::chrono::milliseconds timeout = 10s);

// An operator workstation: one blocking TCP connection to the service.
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

// A network track camera: a listener the camera connects to.
class CameraListener
{
public:
    // address: a loopback address of its own, e.g. "127.0.0.2", so that each
    // camera has its own Address.
    explicit CameraListener(const std::string& address);
    ~CameraListener();
    CameraListener(const CameraListener&) = delete;
    CameraListener& operator=(const CameraListener&) = delete;

    std::uint16_t Port() const { return port; }
    // Waits for the camera to connect; false on timeout.
    bool Accept(std::chrono::milliseconds timeout = 20s);
    std::string Read(std::size_t count, std::chrono::milliseconds timeout = 10s);

private:
    int listener = -1;
    int connection = -1;
    std::uint16_t port = 0;
};

} // namespace korvel
