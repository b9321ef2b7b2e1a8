// The worker thread of a connection: log in, retry while the NVR cannot be
// reached, and refresh whenever the NVR says something changed.
#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

#include <boost/date_time/posix_time/posix_time_duration.hpp>

#include <exception>

namespace {

// Marks a refresh as running for as long as it lasts, also when a stop
// request ends it half-way.
class RunningMark
{
public:
    RunningMark(std::mutex& mutex, bool& running) : mutex(mutex), running(running)
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = true;
    }
    ~RunningMark()
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
    }
    RunningMark(const RunningMark&) = delete;
    RunningMark& operator=(const RunningMark&) = delete;

private:
    std::mutex& mutex;
    bool& running;
};

} // namespace

void NVRConnection::Run()
{
    try {
        RunUntilRefused();
    } catch (const boost::thread_interrupted&) {
        // Close() asked the worker to stop.
    } catch (const std::exception& error) {
        // Nothing expected ends up here; keep it from taking the process down.
        try {
            LogFile.BeginLine() << "Exception: " << error.what() << std::endl;
        } catch (...) {
        }
    }
}

void NVRConnection::RunUntilRefused()
{
    if (state == LoginRefused)
        return;
    bool announced = false; // the retry line has been logged for this outage
    do {
        if (handle != 0 && TLAPI_GetSocket(handle) != -1) {
            if (RefreshIsDue()) {
                ClientServer& server = WaitForClientServer();
                Refresh(server);
                std::lock_guard<std::mutex> lock(requestMutex);
                refreshRequested = false;
            }
        } else {
            const int result = Connect();
            if (result == 0) {
                announced = false;
            } else if (state == LoginRefused) {
                LogFile.BeginLine() << "TLAPI_Login failure on NVR " << address << " for user '"
                                    << login << "': incorrect user/password" << std::endl;
            } else {
                if (!announced) {
                    LogFile.BeginLine() << "TLAPI_Login failure on NVR " << address
                                        << ".  Will retry at " << retryIntervalSecs
                                        << " second intervals" << std::endl;
                    announced = true;
                }
                boost::this_thread::sleep(boost::posix_time::seconds(retryIntervalSecs));
            }
        }
        boost::this_thread::sleep(boost::posix_time::milliseconds(100));
        TLAPI_Select(handle, 100);
        boost::this_thread::interruption_point();
    } while (state != LoginRefused);
}

bool NVRConnection::RefreshIsDue()
{
    std::lock_guard<std::mutex> request(requestMutex);
    std::lock_guard<std::mutex> progress(progressMutex);
    return refreshRequested && !refreshRunning;
}

ClientServer& NVRConnection::WaitForClientServer()
{
    boost::unique_lock<boost::mutex> lock(linkMutex);
    while (!clientServer)
        linkSet.wait(lock); // an interruption point
    return *clientServer;
}

void NVRConnection::Refresh(ClientServer& server)
{
    RunningMark running(progressMutex, refreshRunning);
    UpdateCameraInventory(server);
    CreateSoftTriggers();
    UpdateAssociations();
    RemoveForeignEventLinks();
}
