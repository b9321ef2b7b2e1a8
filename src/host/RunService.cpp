#include "host/RunService.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "config/Configuration.h"
#include "config/Settings.h"
#include "log/LogFile.h"
#include "log/ProgramDirectory.h"
#include "nvr/NVRConnection.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/thread/thread.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>

namespace {

// The stop request and the loop it must end. A request that arrives before
// the loop exists is kept and ends the loop as soon as it registers.
std::mutex stopMutex;
boost::asio::io_context* runningLoop = nullptr; // guarded by stopMutex
bool stopRequested = false;                     // guarded by stopMutex


class LoopRegistration
{
public:
    explicit LoopRegistration(boost::asio::io_context& io)
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        runningLoop = &io;
        if (stopRequested)
            io.stop();
    }
    ~LoopRegistration()
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        runningLoop = nullptr;
    }
    LoopRegistration(const LoopRegistration&) = delete;
    LoopRegistration& operator=(const LoopRegistration&) = delete;
};

[[noreturn]] void ExitOnConfigurationError()
{
    LogFile.BeginLine() << "Exiting due to configuration file error(s)" << std::endl;
    std::fflush(nullptr);
    std::_Exit(-1);
}

} // namespace

bool StopWasRequested()
{
    std::lock_guard<std::mutex> lock(stopMutex);
    return stopRequested;
}

void RequestStop()
{
    std::lock_guard<std::mutex> lock(stopMutex);
    stopRequested = true;
    if (runningLoop)
        runningLoop->stop();
}

int RunService(StopSignals signals)
{
    // The loop outlives every object bound to it: the tables are declared after it.
    boost::asio::io_context io;
    NvrTable nvrs;
    CameraTable cameras;
    UserTable users;
    LoopRegistration registration(io);

    std::unique_ptr<boost::thread_group> workers;
    std::unique_ptr<ClientServer> server;
    bool interrupted = false;

    try {
        // Handled from the very start: a stop that arrives while the NVR
        // workers already run must still close them in order, not kill the
        // process. The loop delivers it once it runs.
        boost::asio::signal_set stopSignals(io);
        if (signals == StopSignals::Handle) {
            stopSignals.add(SIGINT);
            stopSignals.add(SIGTERM);
            stopSignals.async_wait([](const boost::system::error_code& error, int) {
                if (!error)
                    RequestStop();
            });
        }

        LogFile.BeginLine() << "------ Starting tlKorvel version " << 1 << '.' << 0 << '.' << 14
                            << '.' << 134927 << std::endl;

        if (LoadConfiguration(io, nvrs, cameras, users, ProgramDirectory()) == -1)
            ExitOnConfigurationError();

        workers = std::make_unique<boost::thread_group>();
        for (auto& entry : nvrs) {
            if (boost::thread* worker = entry.second->Start())
                workers->add_thread(worker);
        }

        SessionPolicy policy;
        policy.requireLogin = RequireLogin;
        policy.maxSessions = MaxSessions;
        server = std::make_unique<ClientServer>(io, ClientAddress, ClientPort, cameras, users,
                                                policy);
        for (auto& entry : cameras)
            entry.second->SetClientServer(server.get());
        for (auto& entry : nvrs)
            entry.second->SetClientServer(server.get());

        io.run();
        if (StopWasRequested())
            interrupted = true;
        else
            workers->join_all();
    } catch (const boost::thread_interrupted&) {
        interrupted = true;
    } catch (const std::exception& error) {
        LogFile.BeginLine() << "Exception: " << error.what() << std::endl;
    }

    // Workers use the cameras and the client service: stop and join them first.
    boost::this_thread::disable_interruption noInterruption;
    if (interrupted) {
        for (auto& entry : nvrs)
            entry.second->Close();
    } else if (workers) {
        workers->interrupt_all();
    }
    if (workers)
        workers->join_all();
    server.reset();
    workers.reset();

    users.clear();
    cameras.clear();
    nvrs.clear();
    return 0;
}
