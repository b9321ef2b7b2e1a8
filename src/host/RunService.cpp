#include "host/RunService.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "config/Configuration.h"
#include "host/StopRequest.h"
#include "host/TrackCameraTable.h"
#include "host/Version.h"
#include "log/LogFile.h"
#include "nvr/NVRConnection.h"
#include "nvr/NvrCameraDirectory.h"
#include "nvr/NvrTable.h"
#include "platform/ProgramDirectory.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

namespace {

// One run: the I/O loop and everything bound to it, declared after it so
// that all of it goes before the loop.
//
// Threads: the run's own (construction, Run up to the loop, destruction),
// the loop (Stop and everything posted), and the NVR workers, which only
// post (see NvrNews).
class ServiceRun
{
public:
    ServiceRun(StopSignals signals, StopRequest& stopRequest);
    // Stops the NVR workers if the loop did not, waits for them, and takes
    // everything down before the loop.
    ~ServiceRun();
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    // Loads, builds and starts everything, then runs the loop until a stop.
    void Run();

private:
    void StartNvrConnections(const Configuration& configuration);
    void StartClientService(const Configuration& configuration);
    NvrSink NvrNews();
    // The loop: closes the listener, the sessions, the camera links and the
    // NVR connections, in that order.
    void Stop();

    StopRequest& stopRequest;
    boost::asio::io_context io;
    boost::asio::signal_set stopSignals{io};
    CameraTable cameras;
    UserTable users;
    std::unique_ptr<NvrCameraDirectory> nvrCameras;
    // After the directory: the workers use it until they end.
    NvrTable nvrs;
    // The two below belong to the loop once it runs; the server is null
    // once stopped.
    std::unique_ptr<ClientServer> server;
    bool stopped = false;
};

ServiceRun::ServiceRun(StopSignals signals, StopRequest& stopRequest) : stopRequest(stopRequest)
{
    stopRequest.Connect(io, [this] { Stop(); });
    // Handled from the very start: a stop that arrives while the NVR workers
    // already run must still close them in order, not kill the process. The
    // loop delivers it once it runs.
    if (signals == StopSignals::Handle) {
        stopSignals.add(SIGINT);
        stopSignals.add(SIGTERM);
        stopSignals.async_wait([this](const boost::system::error_code& error, int) {
            if (!error)
                this->stopRequest.Request();
        });
    }
}

ServiceRun::~ServiceRun()
{
    stopRequest.Disconnect();
    // A run that failed: the workers stop without the closing lines, all at once.
    for (auto& entry : nvrs)
        entry.second->StopWorker();
    server.reset();
    nvrs.clear();
}

void ServiceRun::Run()
{
    LogFile.BeginLine() << "------ Starting tlKorvel version " << ProgramVersion << std::endl;

    const LoadedConfiguration loaded = LoadConfigurationFile(ProgramDirectory());
    cameras = BuildTrackCameras(io, loaded);
    if (!loaded.usable)
        throw ConfigurationError();

    const Configuration& configuration = loaded.configuration;
    StartNvrConnections(configuration);
    StartClientService(configuration);
    io.run();
}

void ServiceRun::StartNvrConnections(const Configuration& configuration)
{
    std::vector<std::string> cameraAddresses;
    for (const auto& entry : cameras)
        cameraAddresses.push_back(entry.first);
    nvrCameras = std::make_unique<NvrCameraDirectory>(cameraAddresses);

    for (const auto& entry : configuration.nvrs) {
        nvrs.emplace(entry.first, std::make_unique<NVRConnection>(
                                      entry.second, configuration.options.retryIntervalSecs,
                                      *nvrCameras, NvrNews()));
    }
    for (auto& entry : nvrs)
        entry.second->Start();
}

void ServiceRun::StartClientService(const Configuration& configuration)
{
    users = configuration.control.users;
    SessionPolicy policy;
    policy.requireLogin = configuration.control.requireLogin;
    policy.maxSessions = configuration.options.maxSessions;
    server =
        std::make_unique<ClientServer>(io, configuration.options.clientAddress,
                                       configuration.options.clientPort, cameras, users, policy);
    for (auto& entry : cameras)
        entry.second->SetClientServer(server.get());
}

// The one place where the NVR workers' news reaches the client service: on
// the loop, and not at all once the run is stopping.
NvrSink ServiceRun::NvrNews()
{
    NvrSink sink;
    sink.cameraNameLearned = [this](const std::string& cameraAddress, const std::string& name) {
        boost::asio::post(io, [this, cameraAddress, name] {
            if (server)
                server->SetNvrCameraName(cameraAddress, name);
        });
    };
    sink.softTriggerFired = [this](const std::string& cameraAddress) {
        boost::asio::post(io, [this, cameraAddress] {
            if (server)
                server->SoftTriggerFired(cameraAddress);
        });
    };
    return sink;
}

void ServiceRun::Stop()
{
    if (stopped)
        return;
    stopped = true;
    boost::system::error_code ignored;
    stopSignals.cancel(ignored);
    // The client service closes its listener and lets its sessions go.
    server.reset();
    for (auto& entry : cameras)
        entry.second->Stop();
    for (auto& entry : nvrs)
        entry.second->Close();
    // What is still queued (the sessions' reads, the links' cancelled
    // operations) is dropped with the loop, unrun.
    io.stop();
}

} // namespace

void RunService(StopSignals signals, StopRequest& stop)
{
    ServiceRun run(signals, stop);
    try {
        run.Run();
    } catch (const ConfigurationError&) {
        throw;
    } catch (const std::exception& error) {
        LogFile.BeginLine() << "Exception: " << error.what() << std::endl;
    }
}

} // namespace korvel
