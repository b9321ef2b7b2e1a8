#pragma once

// Real processes for the NVR tests: the service configured with NVR
// elements, an operator client, and a session of the test's own with the
// NVR simulator (support/NvrSimulator.h).

#include "support/NvrSimulator.h"
#include "support/Process.h"
#include "support/ReservedPort.h"
#include "support/TempDir.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// Records a test failure when a process reported a sanitizer finding.
void ExpectNoSanitizerReport(const std::string& what, const std::string& standardError);

// Number of times the text occurs in the whole text.
std::size_t Occurrences(const std::string& text, const std::string& what);

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
