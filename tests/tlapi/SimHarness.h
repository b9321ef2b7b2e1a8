#pragma once

// Test harness: a library session that records the events it is given, and
// raw sockets for peers that misbehave on purpose. The NVR simulator comes
// from support/NvrSimulator.h.

#include "support/NvrSimulator.h"
#include "support/Process.h"
#include "tlapi/tlapi.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvel {

// A blocking TCP client socket with a receive timeout, for control lines and
// for hand-made protocol bytes.
class TestSocket
{
public:
    TestSocket() = default;
    explicit TestSocket(int fd) : fd(fd) {}
    ~TestSocket();
    TestSocket(TestSocket&& other) noexcept : fd(other.fd) { other.fd = -1; }
    TestSocket& operator=(TestSocket&& other) noexcept;

    static TestSocket Connect(int port);
    void SendAll(const std::string& bytes);
    void SendAll(const std::vector<uint8_t>& bytes);
    // Reads exactly count bytes; false on end or timeout.
    bool ReadExactly(std::size_t count, std::vector<uint8_t>& out);
    // Lines up to and including "ok" or "error: ...".
    std::string ReadAnswer();
    // True when the peer has closed the connection (reads what is left).
    bool WaitClosed(std::chrono::milliseconds timeout);
    int Fd() const { return fd; }

private:
    int fd = -1;
    std::string pending;
};

struct SeenEvent
{
    int type = 0;
    int code = 0;
    int length = 0;
    std::vector<uint8_t> record;

    uint32_t U32At(std::size_t offset) const;
};

// A library session whose callback collects events.
class Client
{
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    TLAPI_HANDLE Handle() const { return handle; }
    int Open(int port, const char* address = "127.0.0.1");
    // Selects until an event of the type arrives (returns it) or the time is up.
    bool WaitFor(int type, SeenEvent& seen,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Open, wait for event 1, log in and wait for event 71; returns its code (-1 if none).
    int Connect(int port, const std::string& user, const std::string& password);
    std::vector<SeenEvent> Events();
    void ClearEvents();
    std::string LastError();

private:
    static int OnEvent(int eventType, int code, const void* record, int length, void* context);

    TLAPI_HANDLE handle = 0;
    std::mutex mutex;
    std::vector<SeenEvent> events;
    std::size_t consumed = 0;
};

// Listens on a loopback port and runs a script against the first client.
class FakePeer
{
public:
    using Script = std::function<void(TestSocket& client)>;

    explicit FakePeer(Script script);
    ~FakePeer();
    int Port() const { return port; }

    // The HELLO exchange an honest NVR would make; false if the bytes differ.
    static bool Greet(TestSocket& client);
    // Reads one request frame; returns its tag (0 when none came).
    static uint32_t ReadRequest(TestSocket& client, uint16_t& operation);

private:
    int listener = -1;
    int port = 0;
    std::thread thread;
};

std::vector<uint8_t> Frame(uint8_t type, uint16_t code, uint32_t tag,
                           const std::vector<uint8_t>& payload);
std::vector<uint8_t> U32Bytes(uint32_t value);

} // namespace korvel
