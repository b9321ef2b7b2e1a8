// The worker thread of a connection: log in, retry while the NVR cannot be
// reached, and refresh whenever the NVR says something changed; and the one
// way it waits: on the library's socket and the wake-up, until a deadline on
// its time source.
#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

#include <algorithm>
#include <exception>
#include <memory>

namespace korvel {

void NVRConnection::Run(std::stop_token stopToken)
{
    stop = std::move(stopToken);
    // Every wait blocks on the wake-up as well, so a stop request ends it.
    const std::stop_callback wakeOnStop(stop, [this] { wakeUp.Wake(); });
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
    workerRunning = false;
    if (sink.workerEnded) {
        try {
            sink.workerEnded();
        } catch (...) {
        }
    }
}

void NVRConnection::RunUntilRefused()
{
    bool announced = false; // the retry line has been logged for this outage
    while (!Stopping()) {
        if (handle != 0 && TLAPI_GetSocket(handle) != -1) {
            if (refreshAsked.exchange(false))
                refreshRequested = true;
            if (refreshRequested) {
                Refresh();
                // A change announced while the refresh ran is taken as seen:
                // most are the refresh's own. One asked for by the service
                // (RequestRefresh) comes next.
                refreshRequested = false;
                continue;
            }
            SelectOrWait(std::nullopt);
            continue;
        }
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
            LogFile.BeginLine() << "TLAPI_Login failure on NVR " << settings.address
                                << " for user '" << settings.login << "': incorrect user/password"
                                << std::endl;
            return;
        } else {
            Report(NvrPhase::Retrying);
            if (!announced) {
                LogFile.BeginLine()
                    << "TLAPI_Login failure on NVR " << settings.address << ".  Will retry at "
                    << retryIntervalSecs << " second intervals" << std::endl;
                announced = true;
            }
            const TimeSource::Duration interval = std::chrono::seconds(retryIntervalSecs);
            if (!Pause(std::max(interval, TimeSource::Duration(MinimumRetryPause))))
                return;
        }
    }
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

int NVRConnection::SelectOrWait(std::optional<TimeSource::TimePoint> deadline)
{
    // The socket is taken first: taking it reads what has already arrived,
    // which only a select delivers. Past the select, whatever the library
    // has not delivered is still on the socket and makes it readable.
    const int socket = TLAPI_GetSocket(handle);
    const int delivered = TLAPI_Select(handle, 0);
    if (delivered != 0 || Stopping())
        return delivered;
    Block(socket, deadline);
    // What came before the deadline counts, even when the deadline woke us.
    return TLAPI_Select(handle, 0);
}

bool NVRConnection::Pause(TimeSource::Duration duration)
{
    const auto deadline = time.Now() + duration;
    while (!Stopping() && time.Now() < deadline)
        Block(-1, deadline);
    return !Stopping();
}

void NVRConnection::Block(int socket, std::optional<TimeSource::TimePoint> deadline)
{
    std::unique_ptr<Alarm> alarm;
    std::optional<std::chrono::milliseconds> realWait;
    if (deadline) {
        alarm = time.SetAlarm(*deadline, [this] { wakeUp.Wake(); });
        // Rounded up, so that a wait never ends just before its deadline and spins.
        if (const auto left = alarm->RealWait())
            realWait = std::chrono::ceil<std::chrono::milliseconds>(*left);
    }
    wakeUp.Wait(socket, realWait);
}

} // namespace korvel
