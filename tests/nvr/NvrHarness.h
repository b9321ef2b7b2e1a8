#pragma once

// Real processes for the NVR tests: the NVR simulator with its control
// port, the service configured with NVR elements, and an operator client.

#include "support/Process.h"
#include "support/TempDir.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// A port on a loopback address where nothing listens, for an NVR that must
// be configured before it comes: held bound (but not listening) for the
// object's life, so that no other socket is given it meanwhile, while a
// listener that reuses addresses, as the NVR simulator's does, can still
// take it up and leave it again.
class ReservedPort
{
public:
    explicit ReservedPort(const std::string& host);
    ~ReservedPort();
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    std::uint16_t Port() const { return port; }

private:
    int socket = -1;
    std::uint16_t port = 0;
};

// Records a test failure when a process reported a sanitizer finding.
void ExpectNoSanitizerReport(const std::string& what, const std::string& standardError);

// Number of times the text occurs in the whole text.
std::size_t Occurrences(const std::string& text, const std::string& what);

// An NVR simulator process, driven through its control port.
class NvrSim
{
public:
    // "HOST:0" picks a free port. The first commands go to the simulator's
    // standard input before it starts, so that they hold before any client
    // can log in.
    explicit NvrSim(const std::string& listen = "127.0.0.1:0",
                    const std::vector<std::string>& firstCommands = {});
    ~NvrSim();
    NvrSim(const NvrSim&) = delete;
    NvrSim& operator=(const NvrSim&) = delete;

    const std::string& Host() const { return host; }
    std::uint16_t Port() const { return port; }

    // Sends one control command; returns the answer lines before "ok".
    // A test failure is recorded when the answer is an error.
    std::string Command(const std::string& line);
    std::string Dump() { return Command("dump"); }
    // Ends the simulator and waits for it.
    void Quit();
    std::string Stderr() const { return process->Stderr(); }

private:
    std::unique_ptr<Process> process;
    std::string host;
    std::uint16_t port = 0;
    int control = -1;
    std::string pending; // control bytes received past the last answer
};

// A session of the test's own with an NVR, to make what a user at the NVR
// would have made before the service comes.
class NvrUser
{
public:
    NvrUser(const std::string& host, std::uint16_t port, const std::string& login,
            const std::string& password);
    ~NvrUser();
    NvrUser(const NvrUser&) = delete;
    NvrUser& operator=(const NvrUser&) = delete;

    void CreateSoftTrigger(const std::string& name, const std::string& guid);
    // Creates or replaces the camera's association, listing the triggers.
    void StoreAssociation(std::uint32_t cameraId, const std::string& name, std::uint32_t active,
                          const std::vector<std::uint32_t>& softTriggerIds);

private:
    static int OnEvent(int eventType, int code, const void* record, int recordLength,
                       void* context);
    void SelectUntil(const std::function<bool()>& condition);

    std::uint32_t handle = 0;
    bool opened = false;
    int loginCode = -1;
};

// One Camera element.
struct CameraConfig
{
    std::string address;
    unsigned pelcoNumber;
};

// One NVR element and its cameras.
struct NvrConfig
{
    std::string address;
    std::uint16_t port;
    std::string login;
    std::string password;
    std::vector<CameraConfig> cameras;
};

std::string ServiceConfig(int retryIntervalSecs, std::uint16_t clientPort,
                          const std::vector<NvrConfig>& nvrs);

// The service installed in a temporary folder and run in the foreground; its
// client service listens on a port the system picks.
class Service
{
public:
    Service(int retryIntervalSecs, const std::vector<NvrConfig>& nvrs);
    // Stops the service if it still runs; a sanitizer report on its standard
    // error fails the test.
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    std::string Log() const { return program.Log(); }
    // Waits until the log holds the text (count times).
    bool AwaitLog(const std::string& text, std::size_t count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    std::uint16_t ClientPort() const { return clientPort; }
    Process& Run() { return *process; }

private:
    TempDir dir;
    InstalledProgram program;
    std::uint16_t clientPort = 0;
    std::unique_ptr<Process> process;
};

// An operator workstation connected to the client service.
class Operator
{
public:
    explicit Operator(std::uint16_t port);
    ~Operator();
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;

    void Send(const std::string& message);
    // What one receive delivers; empty on timeout or a closed connection.
    std::string Receive(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    int socket = -1;
};

} // namespace korvel
