#include "host/RunService.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ControlService.h"
#include "client/OperationsFeed.h"
#include "clock/SteadyTime.h"
#include "config/Configuration.h"
#include "host/ReloadOutcome.h"
#include "host/ReloadRequest.h"
#include "host/StopRequest.h"
#include "host/TrackCameraTable.h"
#include "host/Version.h"
#include "log/LogFile.h"
#include "nvr/NVRConnection.h"
#include "nvr/NvrCameraDirectory.h"
#include "nvr/NvrTable.h"
#include "ops/AuditTrail.h"
#include "ops/MetricsText.h"
#include "ops/NvrStatusBoard.h"
#include "ops/StatusJson.h"
#include "ops/StatusServer.h"
#include "platform/ProcessFigures.h"
#include "platform/ProgramDirectory.h"
#include "platform/ServicePlatform.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <chrono>
#include <csignal>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

namespace {

// A failure the run cannot go on without.
void LogFailure(const std::string& what)
{
    LogFile.BeginLine() << "Exception: " << what << std::endl;
}

NvrStatusBoard::Phase BoardPhase(NvrPhase phase)
{
    switch (phase) {
    case NvrPhase::Connecting:
        break;
    case NvrPhase::LoggedIn:
        return NvrStatusBoard::Phase::LoggedIn;
    case NvrPhase::Retrying:
        return NvrStatusBoard::Phase::Retrying;
    case NvrPhase::LoginRefused:
        return NvrStatusBoard::Phase::LoginRefused;
    case NvrPhase::Stopped:
        return NvrStatusBoard::Phase::Stopped;
    }
    return NvrStatusBoard::Phase::Connecting;
}

// One run: the I/O loop and everything bound to it, declared after it so
// that all of it goes before the loop.
//
// Threads: the run's own (construction, Run up to the loop, destruction),
// the loop (Stop, reloads and everything posted), and the NVR workers, which
// only post (see NvrNews).
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
    void StartNvrConnections(const Configuration& configuration);
    // The operator side: the control service, the session registry on the
    // client port, and the feed of both to the operations view.
    void StartClientService(const Configuration& configuration);
    // Closes the listener and lets the sessions go, then the rest of the
    // operator side.
    void StopClientService();
    // The audit trail and the status server, where configured.
    void StartOperationsView(const Configuration& configuration);
    StatusSnapshot Snapshot() const;
    NvrSink NvrNews(const std::string& nvrAddress);
    // The loop: one requested reload, from the service manager's report
    // that it starts to the log's and the service manager's closing line.
    void HandleReload();
    // The loop: reads tlKorvel.xml again and applies what changed, logging
    // each change; the outcome's summary is logged after it by HandleReload.
    ReloadOutcome Reload();
    // The platform's signals: a stop, or a reload and the next wait.
    void AwaitSignal();
    // The loop: closes the listener, the sessions, the camera links and the
    // NVR connections, in that order.
    void Stop();

    const RunMode mode;
    StopRequest& stopRequest;
    ReloadRequest& reloadRequest;
    const std::chrono::system_clock::time_point startedAt = std::chrono::system_clock::now();
    const std::chrono::steady_clock::time_point startedSteady = std::chrono::steady_clock::now();
    boost::asio::io_context io;
    boost::asio::signal_set signals{io};
    CameraTable cameras;
    UserTable users;
    std::unique_ptr<NvrCameraDirectory> nvrCameras;
    // After the directory: the workers use it until they end.
    NvrTable nvrs;
    // What the NVR workers reported of themselves, posted to the loop.
    std::unique_ptr<NvrStatusBoard> nvrBoard;
    // Before the operator side, which records to it.
    std::unique_ptr<AuditTrail> audit;
    // The ones below belong to the loop once it runs, and are null once
    // stopped.
    std::unique_ptr<ControlService> control;
    std::unique_ptr<ClientServer> server;
    std::unique_ptr<OperationsFeed> operations;
    std::unique_ptr<StatusServer> statusServer;
    bool stopped = false;
};

ServiceRun::ServiceRun(RunMode mode, StopRequest& stopRequest, ReloadRequest& reloadRequest)
    : mode(mode), stopRequest(stopRequest), reloadRequest(reloadRequest)
{
    stopRequest.Connect(io, [this] { Stop(); });
    // Carried out once the loop runs, after the start.
    reloadRequest.Connect(io, [this] { HandleReload(); });
    // Handled from the very start: a stop that arrives while the NVR workers
    // already run must still close them in order, not kill the process. The
    // loop delivers it once it runs.
    if (mode == RunMode::Foreground) {
        signals.add(SIGINT);
        signals.add(SIGTERM);
#ifdef SIGHUP
        signals.add(SIGHUP);
#endif
        AwaitSignal();
    }
}

ServiceRun::~ServiceRun()
{
    reloadRequest.Disconnect();
    stopRequest.Disconnect();
    // A run that failed: the workers stop without the closing lines, all at once.
    for (auto& entry : nvrs)
        entry.second->StopWorker();
    statusServer.reset();
    StopClientService();
    nvrs.clear();
}

RunEnd ServiceRun::Run()
{
    LogFile.BeginLine() << "------ Starting tlKorvel version " << ProgramVersion << std::endl;

    const LoadedConfiguration loaded = LoadConfigurationFile(ProgramDirectory());
    TrackCameras built = BuildTrackCameras(io, RealTime(), loaded);
    if (!built.failure.empty()) {
        LogFailure(built.failure);
        return RunEnd::Failed;
    }
    cameras = std::move(built.cameras);
    if (!loaded.usable)
        return RunEnd::UnusableConfiguration;

    const Configuration& configuration = loaded.configuration;
    StartNvrConnections(configuration);
    StartClientService(configuration);
    StartOperationsView(configuration);
    io.run();
    return RunEnd::LoopEnded;
}

void ServiceRun::StartNvrConnections(const Configuration& configuration)
{
    std::vector<std::string> cameraAddresses;
    for (const auto& entry : cameras)
        cameraAddresses.push_back(entry.first);
    nvrCameras = std::make_unique<NvrCameraDirectory>(cameraAddresses);

    std::vector<std::string> nvrAddresses;
    for (const auto& entry : configuration.nvrs)
        nvrAddresses.push_back(entry.first);
    nvrBoard = std::make_unique<NvrStatusBoard>(nvrAddresses);
    for (const auto& entry : configuration.nvrs) {
        nvrs.emplace(entry.first, std::make_unique<NVRConnection>(
                                      entry.second, configuration.options.retryIntervalSecs,
                                      *nvrCameras, NvrNews(entry.first)));
    }
    for (auto& entry : nvrs)
        entry.second->Start();
}

void ServiceRun::StartClientService(const Configuration& configuration)
{
    users = configuration.control.users;
    control = std::make_unique<ControlService>(io, RealTime(), cameras);
    server = std::make_unique<ClientServer>(io, configuration.options.clientAddress,
                                            configuration.options.clientPort, *control, users,
                                            configuration.sessionPolicy);
    operations = std::make_unique<OperationsFeed>(*control, *server);
}

void ServiceRun::StopClientService()
{
    operations.reset();
    server.reset();
    control.reset();
}

void ServiceRun::StartOperationsView(const Configuration& configuration)
{
    const std::string& auditFile = configuration.control.auditFile;
    if (!auditFile.empty()) {
        const std::string path = std::filesystem::path(auditFile).is_absolute()
                                     ? auditFile
                                     : ProgramDirectory() + auditFile;
        audit = std::make_unique<AuditTrail>(path);
        operations->SetAuditTrail(audit.get());
        LogFile.BeginLine() << "Writing the control audit trail to " << path << std::endl;
    }

    const Options& options = configuration.options;
    if (options.statusPort == 0)
        return;
    StatusServer::Content content;
    content.status = [this] { return RenderStatusJson(Snapshot()); };
    content.metrics = [this] { return RenderMetrics(Snapshot(), ReadProcessFigures()); };
    auto started = std::make_unique<StatusServer>(io, options.statusAddress, options.statusPort,
                                                  options.statusToken, std::move(content));
    if (!started->StartFailure().empty()) {
        // The operators are served all the same.
        LogFile.BeginLine() << "Status server not started on " << options.statusAddress << ":"
                            << options.statusPort << ": " << started->StartFailure() << std::endl;
        return;
    }
    statusServer = std::move(started);
    const auto endpoint = statusServer->LocalEndpoint();
    std::string host = endpoint.address().to_string();
    if (endpoint.address().is_v6()) {
        host.insert(host.begin(), '[');
        host.push_back(']');
    }
    LogFile.BeginLine() << "Status server listening on http://" << host << ":" << endpoint.port()
                        << "/" << std::endl;
}

StatusSnapshot ServiceRun::Snapshot() const
{
    StatusSnapshot status;
    status.version = ProgramVersion;
    status.started = startedAt;
    status.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now() - startedSteady)
                               .count();
    if (operations)
        operations->FillStatus(status, RealTime().Now());
    status.nvrs = nvrBoard->Status();
    if (audit)
        status.audit = audit->Counts();
    return status;
}

// The one place where the NVR workers' news reaches the client service and
// the operations view: on the loop, and not at all once the run is stopping.
NvrSink ServiceRun::NvrNews(const std::string& nvrAddress)
{
    NvrSink sink;
    sink.cameraNameLearned = [this](const std::string& cameraAddress, const std::string& name) {
        boost::asio::post(io, [this, cameraAddress, name] {
            if (control)
                control->SetNvrCameraName(cameraAddress, name);
        });
    };
    sink.softTriggerFired = [this, nvrAddress](const std::string& cameraAddress) {
        boost::asio::post(io, [this, cameraAddress, nvrAddress] {
            if (control && control->SoftTriggerFired(cameraAddress))
                nvrBoard->HandedOver(nvrAddress);
        });
    };
    sink.cameraIdLearned = [this](const std::string& cameraAddress, std::uint32_t id) {
        boost::asio::post(io, [this, cameraAddress, id] {
            if (control)
                control->SetNvrCameraId(cameraAddress, id);
        });
    };
    sink.phaseReached = [this, nvrAddress](NvrPhase phase) {
        boost::asio::post(io, [this, nvrAddress, phase] {
            if (!stopped)
                nvrBoard->PhaseReached(nvrAddress, BoardPhase(phase));
        });
    };
    sink.inventoryCounted = [this, nvrAddress](std::uint32_t cameras, std::uint32_t triggers) {
        boost::asio::post(io, [this, nvrAddress, cameras, triggers] {
            if (!stopped)
                nvrBoard->InventoryCounted(nvrAddress, cameras, triggers);
        });
    };
    return sink;
}

void ServiceRun::AwaitSignal()
{
    signals.async_wait([this](const boost::system::error_code& error, [[maybe_unused]] int signal) {
        if (error)
            return;
#ifdef SIGHUP
        if (signal == SIGHUP) {
            reloadRequest.Request();
            AwaitSignal();
            return;
        }
#endif
        stopRequest.Request();
    });
}

void ServiceRun::HandleReload()
{
    if (stopped)
        return;
    // Once a stop is asked for, the service manager hears of nothing else.
    const bool report = mode == RunMode::Service && !stopRequest.Requested();
    if (report)
        ReportReloadStarted();
    const ReloadOutcome outcome = Reload();
    LogFile.BeginLine() << outcome.summary << std::endl;
    if (report && !stopRequest.Requested())
        ReportReloadEnded(outcome.summary);
}

// For now the running configuration stays as it is.
ReloadOutcome ServiceRun::Reload()
{
    return {ReloadOutcome::Result::Applied, ReloadedSummary({})};
}

void ServiceRun::Stop()
{
    if (stopped)
        return;
    stopped = true;
    boost::system::error_code ignored;
    signals.cancel(ignored);
    statusServer.reset();
    StopClientService();
    for (auto& entry : cameras)
        entry.second->Stop();
    for (auto& entry : nvrs)
        entry.second->Close();
    // What is still queued (the sessions' reads, the links' cancelled
    // operations) is dropped with the loop, unrun.
    io.stop();
}

} // namespace

RunEnd RunService(RunMode mode, StopRequest& stop, ReloadRequest& reload)
{
    RunEnd end = RunEnd::Failed;
    {
        ServiceRun run(mode, stop, reload);
        try {
            end = run.Run();
        } catch (const std::exception& error) {
            LogFailure(error.what());
        }
    }
    if (end == RunEnd::UnusableConfiguration)
        LogFile.BeginLine() << UnusableConfigurationText << std::endl;
    return end;
}

} // namespace korvel
