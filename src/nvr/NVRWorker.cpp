// The worker thread of a connection: log in, retry while the NVR cannot be
// reached, and refresh whenever the NVR says something changed.
#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

#include <condition_variable>
#include <exception>
#include <mutex>

namespace korvel {

void NVRConnection::Run(std::stop_token stopToken)
{
    stop = std::move(stopToken);
    try {
        RunUntilRefused();
        if (state != LoginRefused) // a refused login stays what the NVR is known for
            Report(NvrPhase::Stopped);
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
    bool announced = false; // the retry line has been logged for this outage
    do {
        if (handle != 0 && TLAPI_GetSocket(handle) != -1) {
            if (refreshRequested) {
                Refresh();
                // A change announced while the refresh ran is taken as seen:
                // most are the refresh's own.
                refreshRequested = false;
            }
        } else {
            Report(NvrPhase::Connecting);
            const int result = Connect();
            if (Stopping())
                return;
            if (result == 0) {
                Report(NvrPhase::LoggedIn);
                announced = false;
                // Changes announced while we were away never reached us, and
                // an NVR that restarted may have lost our soft triggers: look
                // again after every login, not only after the first.
                refreshRequested = true;
            } else if (state == LoginRefused) {
                Report(NvrPhase::LoginRefused);
                LogFile.BeginLine()
                    << "TLAPI_Login failure on NVR " << settings.address << " for user '"
                    << settings.login << "': incorrect user/password" << std::endl;
            } else {
                Report(NvrPhase::Retrying);
                if (!announced) {
                    LogFile.BeginLine()
                        << "TLAPI_Login failure on NVR " << settings.address << ".  Will retry at "
                        << retryIntervalSecs << " second intervals" << std::endl;
                    announced = true;
                }
                if (!SleepFor(std::chrono::seconds(retryIntervalSecs)))
                    return;
            }
        }
        if (!SleepFor(std::chrono::milliseconds(100)))
            return;
        TLAPI_Select(handle, 100);
    } while (state != LoginRefused && !Stopping());
}

void NVRConnection::Refresh()
{
    UpdateCameraInventory();
    if (!Stopping())
        CreateSoftTriggers();
    if (!Stopping())
        UpdateAssociations();
    if (!Stopping())
        RemoveForeignEventLinks();
    if (!Stopping() && sink.inventoryCounted)
        sink.inventoryCounted(camerasListed, static_cast<std::uint32_t>(softTriggers.size()));
}

void NVRConnection::Report(NvrPhase phase) const
{
    if (sink.phaseReached)
        sink.phaseReached(phase);
}

// The mutex and the condition only carry the wait: nothing but the stop
// request wakes it early.
bool NVRConnection::SleepFor(std::chrono::milliseconds duration) const
{
    std::mutex mutex;
    std::condition_variable_any stopped;
    std::unique_lock<std::mutex> lock(mutex);
    stopped.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

} // namespace korvel
