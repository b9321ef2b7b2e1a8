#include "host/RunService.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ConnectionTable.h"
#include "client/ControlService.h"
#include "client/OperationsFeed.h"
#include "client/SupervisorDesk.h"
#include "clock/SteadyTime.h"
#include "config/Configuration.h"
#include "host/ReloadOutcome.h"
#include "host/ReloadRequest.h"
#include "host/ServiceRun.h"
#include "host/StopRequest.h"
#include "host/TrackCameraTable.h"
#include "host/Version.h"
#include "log/LogFile.h"
#include "nvr/NVRConnection.h"
#include "nvr/NvrCameraDirectory.h"
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

#include <chrono>
#include <csignal>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
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

} // namespace

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
    closingNvrs.clear();
}

RunEnd ServiceRun::Run()
{
    LogFile.BeginLine() << "------ Starting tlKorvel version " << ProgramVersion << std::endl;

    const LoadedConfiguration loaded = LoadConfigurationFile(ProgramDirectory());
    TrackCameras built = BuildTrackCameras(io, time, loaded);
    if (!built.failure.empty()) {
        LogFailure(built.failure);
        return RunEnd::Failed;
    }
    cameras = std::move(built.cameras);
    if (!loaded.usable)
        return RunEnd::UnusableConfiguration;

    running = loaded.configuration;
    configurationStatus.loaded = wall.Now();
    StartNvrConnections(running);
    StartClientService(running);
    StartOperationsView(running);
    io.run();
    return RunEnd::LoopEnded;
}

NVRConnection& ServiceRun::MakeNvr(const NvrSettings& settings, int retryIntervalSecs)
{
    const std::uint64_t number = ++nvrsMade;
    nvrNumbers[settings.address] = number;
    auto& connection = nvrs[settings.address];
    connection = std::make_unique<NVRConnection>(settings, retryIntervalSecs, *nvrCameras,
                                                 NvrNews(settings.address, number));
    return *connection;
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
    for (const auto& entry : configuration.nvrs)
        MakeNvr(entry.second, configuration.options.retryIntervalSecs);
    for (auto& entry : nvrs)
        entry.second->Start();
}

void ServiceRun::StartClientService(const Configuration& configuration)
{
    users = configuration.control.users;
    connections = std::make_unique<ConnectionTable>();
    control = std::make_unique<ControlService>(io, time, cameras, *connections);
    server = std::make_unique<ClientServer>(io, time, *connections, *control, users,
                                            configuration.sessionPolicy);
    server->SetDirectory(configuration.control.directory);
    const std::string failure =
        server->Listen(configuration.options.clientAddress, configuration.options.clientPort);
    if (!failure.empty())
        throw std::runtime_error(failure); // the run cannot go on without its operators
    supervisors = std::make_unique<SupervisorDesk>(io, time, *control, *server);
    operations = std::make_unique<OperationsFeed>(*control, *server);
    supervisors->SetObserver(*operations);
}

void ServiceRun::StopClientService()
{
    operations.reset();
    supervisors.reset();
    server.reset();
    control.reset();
    connections.reset();
}

void ServiceRun::StartOperationsView(const Configuration& configuration)
{
    if (!configuration.control.auditFile.empty())
        StartAuditTrail(configuration.control.auditFile);

    const Options& options = configuration.options;
    if (options.statusPort == 0)
        return;
    auto started = MakeStatusServer(options);
    if (!started->StartFailure().empty()) {
        // The operators are served all the same.
        LogFile.BeginLine() << "Status server not started on " << options.statusAddress << ":"
                            << options.statusPort << ": " << started->StartFailure() << std::endl;
        return;
    }
    statusServer = std::move(started);
    LogFile.BeginLine() << "Status server listening on " << StatusServerUrl() << std::endl;
}

void ServiceRun::StartAuditTrail(const std::string& auditFile)
{
    const std::string path = std::filesystem::path(auditFile).is_absolute()
                                 ? auditFile
                                 : ProgramDirectory() + auditFile;
    audit = std::make_unique<AuditTrail>(path);
    operations->SetAuditTrail(audit.get());
    LogFile.BeginLine() << "Writing the control audit trail to " << path << std::endl;
}

std::unique_ptr<StatusServer> ServiceRun::MakeStatusServer(const Options& options)
{
    StatusServer::Content content;
    content.status = [this] { return RenderStatusJson(Snapshot()); };
    content.metrics = [this] { return RenderMetrics(Snapshot(), ReadProcessFigures()); };
    return std::make_unique<StatusServer>(io, time, options.statusAddress,
                                          options.statusPort, options.statusToken,
                                          std::move(content), supervisors.get());
}

std::string ServiceRun::StatusServerUrl() const
{
    const auto endpoint = statusServer->LocalEndpoint();
    std::string host = endpoint.address().to_string();
    if (endpoint.address().is_v6()) {
        host.insert(host.begin(), '[');
        host.push_back(']');
    }
    return "http://" + host + ":" + std::to_string(endpoint.port()) + "/";
}

StatusSnapshot ServiceRun::Snapshot() const
{
    StatusSnapshot status;
    status.version = ProgramVersion;
    status.started = startedAt;
    status.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                               time.Now() - startedSteady)
                               .count();
    status.configuration = configurationStatus;
    if (server)
        status.operatorListener = EndpointText(server->LocalEndpoint());
    if (operations)
        operations->FillStatus(status, time.Now());
    status.nvrs = nvrBoard->Status();
    if (audit)
        status.audit = audit->Counts();
    return status;
}

// The one place where the NVR workers' news reaches the client service and
// the operations view: on the loop, and not at all once the run is stopping
// or a reload has closed the connection.
NvrSink ServiceRun::NvrNews(const std::string& nvrAddress, std::uint64_t number)
{
    NvrSink sink;
    sink.cameraNameLearned = [this, nvrAddress, number](const std::string& cameraAddress,
                                                        const std::string& name) {
        boost::asio::post(io, [this, nvrAddress, number, cameraAddress, name] {
            if (control && NvrInUse(nvrAddress, number))
                control->SetNvrCameraName(cameraAddress, name);
        });
    };
    sink.softTriggerFired = [this, nvrAddress, number](const std::string& cameraAddress) {
        boost::asio::post(io, [this, nvrAddress, number, cameraAddress] {
            if (control && NvrInUse(nvrAddress, number) &&
                control->SoftTriggerFired(cameraAddress))
                nvrBoard->HandedOver(nvrAddress);
        });
    };
    sink.cameraIdLearned = [this, nvrAddress, number](const std::string& cameraAddress,
                                                      std::uint32_t id) {
        boost::asio::post(io, [this, nvrAddress, number, cameraAddress, id] {
            if (control && NvrInUse(nvrAddress, number))
                control->SetNvrCameraId(cameraAddress, id);
        });
    };
    sink.phaseReached = [this, nvrAddress, number](NvrPhase phase) {
        boost::asio::post(io, [this, nvrAddress, number, phase] {
            if (NvrInUse(nvrAddress, number))
                nvrBoard->PhaseReached(nvrAddress, BoardPhase(phase));
        });
    };
    sink.inventoryCounted = [this, nvrAddress, number](std::uint32_t cameras,
                                                       std::uint32_t triggers) {
        boost::asio::post(io, [this, nvrAddress, number, cameras, triggers] {
            if (NvrInUse(nvrAddress, number))
                nvrBoard->InventoryCounted(nvrAddress, cameras, triggers);
        });
    };
    sink.workerEnded = [this, number] {
        boost::asio::post(io, [this, number] { closingNvrs.erase(number); });
    };
    return sink;
}

bool ServiceRun::NvrInUse(const std::string& nvrAddress, std::uint64_t number) const
{
    if (stopped)
        return false;
    const auto entry = nvrNumbers.find(nvrAddress);
    return entry != nvrNumbers.end() && entry->second == number;
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
    if (stopped) {
        reloadRequest.Finished();
        return;
    }
    // Once a stop is asked for, the service manager hears of nothing else.
    reportReload = mode == RunMode::Service && !stopRequest.Requested();
    if (reportReload)
        ReportReloadStarted();
    try {
        reader.Start([directory = ProgramDirectory()] { return LoadConfigurationFile(directory); },
                     [this](ConfigurationReader::Result read) { FinishReload(std::move(read)); });
    } catch (const std::system_error& error) {
        // No thread for the read (a task limit): the reload is refused.
        ConfigurationReader::Result read;
        read.failure = error.what();
        FinishReload(std::move(read));
    }
}

// A stop that came while the file was read has taken everything down: the
// load is dropped, and the service manager has heard of the stop instead.
void ServiceRun::FinishReload(ConfigurationReader::Result read)
{
    if (!stopped) {
        const ReloadOutcome outcome = Reload(read);
        LogFile.BeginLine() << outcome.summary << std::endl;
        if (reportReload && !stopRequest.Requested())
            ReportReloadEnded(outcome.summary);
    }
    reloadRequest.Finished();
}

void ServiceRun::Stop()
{
    if (stopped)
        return;
    stopped = true;
    boost::system::error_code ignored;
    signals.cancel(ignored);
    if (statusServer)
        statusServer->Close();
    if (server)
        server->Close();
    if (supervisors)
        supervisors->Close();
    if (control)
        control->Close();
    for (auto& entry : cameras)
        entry.second->Stop();
    for (auto& entry : nvrs)
        entry.second->Close();
    // A replaced audit trail still writing is let go with the run.
    for (auto& entry : replacedAuditTrails)
        entry.second.stopWait->Cancel();
    // The loop runs on until what was under way has ended (the sessions' and
    // the links' operations come back cancelled), and then returns.
}

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
