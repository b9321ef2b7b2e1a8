#pragma once

#include "CameraFarm.h"
#include "ChildProcess.h"

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

enum class RelayKind
{
    Service,
    Socat
};
const char* RelayName(RelayKind kind);

struct BenchPaths
{
    std::string service; // the built tlKorvel
    std::string socat;
    // A command the service runs under, for profiling ("perf record -g",
    // "valgrind --tool=callgrind"); empty: none.
    std::vector<std::string> serviceWrapper;
    // The CPUs the relay runs on; empty: wherever the system puts it.
    std::vector<int> relayCpus;
};

// What the service runs beside the operators and cameras, for the scenarios
// that need it.
struct ServiceExtras
{
    bool statusServer = false;
    std::size_t maxSessions = 20000;
    enum class Audit
    {
        None,
        File, // a regular file in the service's folder
        Fifo, // a FIFO there that nobody reads
    } audit = Audit::None;
    // Directory accounts through this PAM service, a member of the group
    // "cctv" logging in with priority 1; empty: none.
    std::string directoryService;
    // Put before the service's command (after the bench's own wrapper): an
    // environment for PAM, say.
    std::vector<std::string> launcher;
};

struct OperatorAccount
{
    std::string name;
    std::string password;
    int priority = 0;
};

// What stands between the operators and the cameras in one run: the service,
// copied into a fresh folder with a configuration that names every camera of
// the farm, or socat as a plain forking byte relay to the farm's first
// camera. Stopped, and its folder removed, when the object goes.
class RelayUnderTest
{
public:
    RelayUnderTest(RelayKind kind, const BenchPaths& paths,
                   const std::vector<CameraEndpoint>& cameras,
                   const std::vector<OperatorAccount>& accounts, unsigned lockTimeSecs,
                   const ServiceExtras& extras = {});
    ~RelayUnderTest();
    RelayUnderTest(const RelayUnderTest&) = delete;
    RelayUnderTest& operator=(const RelayUnderTest&) = delete;

    RelayKind Kind() const { return kind; }
    boost::asio::ip::tcp::endpoint OperatorEndpoint() const { return operatorEndpoint; }
    // The service's status server, when asked for.
    boost::asio::ip::tcp::endpoint StatusEndpoint() const { return statusEndpoint; }
    bool Running() { return process->Running(); }
    // Resident set of the relay process, from /proc; 0 when unknown.
    std::size_t ResidentKilobytes() const;
    // CPU time the relay has used so far, in nanoseconds: every thread of
    // every process in its group (a forking relay's children included).
    std::int64_t CpuNanos() const;
    // The last lines of the service's log and of the process's output, for
    // a report of what went wrong.
    std::string Diagnosis() const;
    // The service: SIGHUP, a reload of its (unchanged) configuration; and
    // how many reloads its log has closed so far.
    void AskForReload();
    std::size_t ReloadsDone() const;

private:
    RelayKind kind;
    std::string directory;
    boost::asio::ip::tcp::endpoint operatorEndpoint;
    boost::asio::ip::tcp::endpoint statusEndpoint;
    std::unique_ptr<ChildProcess> process;
};

// A loopback port that nothing listens on at the moment of asking.
unsigned short FreeLoopbackPort();

} // namespace korvel
