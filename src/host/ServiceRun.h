#pragma once

#include "camera/CameraTable.h"
#include "clock/SteadyTime.h"
#include "clock/WallClock.h"
#include "config/Configuration.h"
#include "config/ConfigurationChanges.h"
#include "host/ConfigurationReader.h"
#include "host/ReloadOutcome.h"
#include "host/RunService.h"
#include "loop/LoopTimer.h"
#include "nvr/NvrSink.h"
#include "nvr/NvrTable.h"
#include "ops/StatusSnapshot.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

class AuditTrail;
class ClientServer;
class ConnectionTable;
class ControlService;
class NVRConnection;
class NvrCameraDirectory;
class NvrStatusBoard;
class OperationsFeed;
class StatusServer;
class SupervisorDesk;

// One run: the I/O loop and everything bound to it, declared after it so
// that all of it goes before the loop. RunService.cpp starts and stops it,
// ServiceReload.cpp carries out its reloads. The rules of its life:
//
//   - Start (Run): the banner; tlKorvel.xml loaded (a regular file of at
//     most 16 MiB; an unusable one ends the run after its lines); the track
//     cameras built where their elements stand; the NVR connections started;
//     the operator side listening (a port it cannot open ends the run as
//     "Exception: <why>"); the operations view; then the loop runs.
//   - Stop: one request (StopRequest: a signal in the foreground, the
//     service manager in service mode; later ones are no news) carried to
//     the loop, where Stop closes the status server, the operator port and
//     every session, the hold timer, the camera links and the NVR
//     connections (each logs its closing line), and cancels the run's own
//     timers and the signal wait; the loop returns once what they had under
//     way has ended, and the destructor waits for the NVR workers and takes
//     the rest down before the loop.
//   - Reload: a request (ReloadRequest: SIGHUP, or the service manager's
//     reload) carried to the loop; requests that come while one waits merge
//     into it, one that comes during a reload makes one more after it. The
//     file is read and loaded away from the loop (ConfigurationReader), the
//     load compared with the running configuration (ConfigurationChanges)
//     and the difference applied on the loop in one step, each change logged;
//     the outcome (applied, partial, refused) is logged, recorded and told to
//     the service manager. Nothing is reloaded once a stop has come.
//
// Threads: the run's own (construction, Run up to the loop, destruction),
// the loop (Stop, reloads and everything posted), and those that only post:
// the NVR workers (see NvrNews), a reload's reading thread (see
// ConfigurationReader) and the writers of replaced audit trails (see
// ChangeAuditTrail).
class ServiceRun
{
public:
    ServiceRun(RunMode mode, StopRequest& stopRequest, ReloadRequest& reloadRequest);
    // Stops the NVR workers if the loop did not, waits for them, and takes
    // everything down before the loop.
    ~ServiceRun();
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    // Loads, builds and starts everything, then runs the loop until a stop.
    // Throws what it cannot go on without.
    RunEnd Run();

private:
    // Makes the connection (numbered, so that the news of one that has been
    // replaced is told apart) without starting it.
    NVRConnection& MakeNvr(const NvrSettings& settings, int retryIntervalSecs);
    void StartNvrConnections(const Configuration& configuration);
    // The operator side: the control service, the session registry on the
    // client port, and the feed of both to the operations view.
    void StartClientService(const Configuration& configuration);
    // Closes the listener and lets the sessions go, then the rest of the
    // operator side.
    void StopClientService();
    // The audit trail and the status server, where configured.
    void StartOperationsView(const Configuration& configuration);
    void StartAuditTrail(const std::string& auditFile);
    std::unique_ptr<StatusServer> MakeStatusServer(const Options& options);
    // "http://127.0.0.1:55280/" of the status server that runs.
    std::string StatusServerUrl() const;
    StatusSnapshot Snapshot() const;
    // Posts the worker's news to the loop, where it counts while the
    // connection is the one in use for the address.
    NvrSink NvrNews(const std::string& nvrAddress, std::uint64_t number);
    bool NvrInUse(const std::string& nvrAddress, std::uint64_t number) const;
    // The loop: one requested reload, from the service manager's report
    // that it starts to the log's and the service manager's closing line.
    // The file is read and loaded on a thread of the reload's own; the loop
    // goes on meanwhile, and FinishReload applies the load.
    void HandleReload();
    void FinishReload(ConfigurationReader::Result read);
    // The platform's signals: a stop, or a reload and the next wait.
    void AwaitSignal();
    // The loop: closes the status server, the listener, the sessions, the
    // hold timer, the camera links and the NVR connections, in that order;
    // the loop returns once what they had under way has ended.
    void Stop();

    // ServiceReload.cpp. The loop: applies what changed in the file read
    // again, logging each change; the outcome's summary is logged after it
    // by FinishReload.
    ReloadOutcome Reload(const ConfigurationReader::Result& read);
    ReloadOutcome Refuse(const std::string& why);
    void ApplySettings(const ConfigurationChanges& changes, const Configuration& next);
    void ApplyUsers(const ConfigurationChanges& changes, const Configuration& next);
    void ApplyCameras(const ConfigurationChanges& changes, const Configuration& next);
    void RemoveCamera(const std::string& address, bool rebuilt = false);
    void AddCamera(const CameraSettings& settings, const Configuration& next);
    void ApplyNvrs(const ConfigurationChanges& changes, const Configuration& next);
    // Logs the closing line and lets the connection go once its worker has
    // ended (without waiting for it here).
    void CloseNvr(const std::string& address);
    // Each returns the settings as they now stand: the new ones, or the
    // running ones where they could not be applied, so that the next reload
    // tries them again; and says in `kept` what runs instead.
    Options MoveClientListener(const Options& running, const Options& next,
                               std::vector<std::string>& kept);
    Options ChangeStatusServer(const Options& running, const Options& next,
                               std::vector<std::string>& kept);
    // The trail in use is replaced: it ends once it has written what it
    // had queued (or its stop wait has passed), without the loop waiting
    // for it, and is let go then.
    void ChangeAuditTrail(const std::string& auditFile);
    void RecordReload(const ReloadOutcome& outcome);

    // "127.0.0.1:55272", "[::1]:55272".
    static std::string EndpointText(const boost::asio::ip::tcp::endpoint& endpoint);

    const RunMode mode;
    StopRequest& stopRequest;
    ReloadRequest& reloadRequest;
    // Every wait and deadline of the run keeps time on `time`; records and
    // the status page tell the calendar time of `wall`.
    TimeSource& time = RealTime();
    WallClock& wall = RealWallClock();
    const WallClock::TimePoint startedAt = wall.Now();
    const TimeSource::TimePoint startedSteady = time.Now();
    boost::asio::io_context io;
    boost::asio::signal_set signals{io};
    // Hands a reload's load to the loop while the run is there.
    ConfigurationReader reader{io};
    // The reload under way tells the service manager when it is done.
    bool reportReload = false;
    // The configuration in use: what the last reload applied (or the start
    // loaded), with the settings that could not be applied as they were.
    Configuration running;
    ConfigurationStatus configurationStatus;
    CameraTable cameras;
    UserTable users;
    std::unique_ptr<NvrCameraDirectory> nvrCameras;
    // After the directory: the workers use it until they end.
    NvrTable nvrs;
    // The number of each connection in use, by address.
    std::map<std::string, std::uint64_t> nvrNumbers;
    std::uint64_t nvrsMade = 0;
    // Connections a reload closed, by number, until their workers end.
    std::map<std::uint64_t, std::unique_ptr<NVRConnection>> closingNvrs;
    // What the NVR workers reported of themselves, posted to the loop.
    std::unique_ptr<NvrStatusBoard> nvrBoard;
    // Before the operator side, which records to it.
    std::unique_ptr<AuditTrail> audit;
    // Trails a reload replaced, by number, until each has written what it
    // had queued or its stop wait has passed (the timer): a file that blocks
    // never holds up the loop, and nothing stays once it has ended.
    struct ReplacedAuditTrail
    {
        std::unique_ptr<AuditTrail> trail;
        std::unique_ptr<LoopTimer> stopWait;
    };
    std::map<std::uint64_t, ReplacedAuditTrail> replacedAuditTrails;
    std::uint64_t auditTrailsReplaced = 0;
    // The ones below belong to the loop once it runs, and are null once
    // stopped.
    std::unique_ptr<ConnectionTable> connections;
    std::unique_ptr<ControlService> control;
    std::unique_ptr<ClientServer> server;
    // What the supervisor API may do, handed to the status server.
    std::unique_ptr<SupervisorDesk> supervisors;
    std::unique_ptr<OperationsFeed> operations;
    std::unique_ptr<StatusServer> statusServer;
    bool stopped = false;
};

} // namespace korvel
