#pragma once

// tlKorvel run as a process in the foreground (-d) from a folder of its own:
// the one launcher of the service for every test that runs it as a process.
// With what the fault tests look at after each fault: its listening port,
// its open descriptors, its resident memory, and whether a new operator is
// still served.
#include "support/Process.h"
#include "support/TempDir.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel {

// Every configuration has this user, for the operator that checks the
// service after a fault.
extern const char* const ProbeUser;
extern const char* const ProbePassword;

struct ServiceSetup
{
    int lockTimeSecs = 3;
    int retryIntervalSecs = 1;
    std::vector<std::string> users; // User elements besides the probe user
    std::string nvr = R"(Address="127.0.0.9" Port="22609" Login="korvel" Password="")";
    std::vector<std::string> cameras; // Camera elements of that NVR
    std::string options;              // more attributes of Options
    std::string control;              // more attributes of KorvelControl
    // A command that runs the service: the program's path and "-d" are
    // appended (empty: the program itself). It must end by executing it.
    std::vector<std::string> launcher;

    std::string Xml() const;
};

// What the service holds at one moment.
struct Footprint
{
    std::size_t descriptors = 0;
    std::size_t residentKiB = 0;
};

class ServiceProcess
{
public:
    // Installs the program with the configuration and starts it; returns once
    // it listens for operators on 127.0.0.1 (throws std::runtime_error when
    // it does not).
    explicit ServiceProcess(const ServiceSetup& config);
    // The same with a configuration file of the test's own.
    explicit ServiceProcess(const std::string& configurationXml,
                            const std::vector<std::string>& launcher = {});
    // Stops a service that still runs (SIGTERM, then SIGKILL); a test failure
    // when its standard error holds a sanitizer report.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    std::uint16_t Port() const { return port; }
    pid_t Pid() const { return process->Pid(); }
    // For signals, the exit status and the standard streams.
    Process& Proc() { return *process; }
    std::string Log() const { return program.Log(); }
    // The folder of the program, its configuration and its log.
    std::string Directory() const { return program.Directory(); }
    // Lines of the log (after the time stamp) that start with the prefix.
    int CountLog(const std::string& prefix) const;
    bool WaitForLog(const std::string& prefix, int count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until the text occurs in the log count times, anywhere.
    bool AwaitLog(const std::string& text, std::size_t count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    Footprint Now() const;
    // The inodes of the sockets the service holds open now.
    std::set<std::string> Sockets() const;
    // The footprint once the descriptor count has stayed the same for a
    // moment: the baseline taken after warm-up.
    Footprint Settled() const;

    // SIGTERM; true when the service ended with status 0 in time and its
    // standard error holds no sanitizer report.
    bool Stop();
    std::string Stderr() const { return process->Stderr(); }

private:
    void Start(const std::string& configurationXml, const std::vector<std::string>& launcher);

    TempDir dir;
    InstalledProgram program;
    std::unique_ptr<Process> process;
    std::uint16_t port = 0;
};

// Resident memory may grow this much over a fault before it counts as a leak.
constexpr std::size_t MaxResidentGrowthKiB = 8 * 1024;

// The checks after every fault: the descriptor count comes back to the
// baseline, resident memory has not grown beyond the bound, and a new
// operator is greeted and logged in. In a sanitizer build freed memory is
// held back on purpose, so resident memory says nothing there; the leak
// checker run at the service's end (see Stop) takes the place of the bound.
void ExpectRecovered(const ServiceProcess& service, const Footprint& baseline);

// True when a process's standard error holds a sanitizer report.
bool HasSanitizerReport(const std::string& standardError);

} // namespace korvel
