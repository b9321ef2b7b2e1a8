// The worker thread of a connection: log in (opening a session with the NVR
// and logging in), retry while the NVR cannot be reached, and refresh
// whenever the NVR says something changed; and the one way it waits: on the
// library's socket and the wake-up, until a deadline on its time source.
#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

#include <exception>
#include <memory>

namespace korvel {

namespace {

// What the worker logs of a failure it did not expect; nothing more may fail here.
void LogException(const std::exception& error) noexcept
{
    try {
        LogFile.BeginLine() << "Exception: " << error.what() << std::endl;
    } catch (...) {
    }
}

} // namespace

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
        LogException(error);
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
    while (!Ending()) {
        if (handle != 0 && TLAPI_GetSocket(handle) != -1) {
            if (refreshAsked.exchange(false))
                refreshRequested = true;
            if (refreshRequested) {
                RefreshLogged();
                // A change announced while the refresh ran is taken as seen:
                // most are the refresh's own. One asked for by the service
                // (RequestRefresh) comes next.
                refreshRequested = false;
            } else {
                // Until the NVR or the service has something to say.
                SelectOrWait(std::nullopt);
            }
        } else {
            Attempt(announced);
        }
        EndIteration();
    }
    if (Stopping())
        return;
    // Refused at login, or later on a session that had logged in.
    Report(NvrPhase::LoginRefused);
    LogFile.BeginLine() << "TLAPI_Login failure on NVR " << settings.address << " for user '"
                        << settings.login << "': incorrect user/password" << std::endl;
}

void NVRConnection::Attempt(bool& announced)
{
    Report(NvrPhase::Connecting);
    const int result = Connect();
    if (Ending())
        return;
    if (result == 0) {
        Report(NvrPhase::LoggedIn);
        announced = false;
        // Changes announced while we were away never reached us, and an NVR
        // that restarted may have lost our soft triggers: look again after
        // every login, not only after the first.
        refreshRequested = true;
        return;
    }
    // Whatever the attempt got to, a session that did not log in is of no
    // use: the next attempt starts afresh.
    CloseSession();
    Report(NvrPhase::Retrying);
    if (!announced) {
        LogFile.BeginLine() << "TLAPI_Login failure on NVR " << settings.address
                            << ".  Will retry at " << retryIntervalSecs << " second intervals"
                            << std::endl;
        announced = true;
    }
    Pause(std::chrono::seconds(retryIntervalSecs));
}

void NVRConnection::RefreshLogged()
{
    try {
        Refresh();
    } catch (const std::exception& error) {
        // The refresh counts as done: the next request brings another.
        LogException(error);
    }
}

void NVRConnection::Refresh()
{
    UpdateCameraInventory();
    if (!Ending())
        CreateSoftTriggers();
    if (!Ending())
        UpdateAssociations();
    if (!Ending())
        RemoveForeignEventLinks();
    if (!Ending() && sink.inventoryCounted)
        sink.inventoryCounted(camerasListed, static_cast<std::uint32_t>(softTriggers.size()));
}

void NVRConnection::EndIteration()
{
    const auto deadline = time.Now() + IterationPause;
    bool connected = handle != 0;
    while (!Ending() && time.Now() < deadline) {
        if (connected)
            connected = SelectOrWait(deadline) >= 0;
        else
            Block(-1, deadline);
    }
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

void NVRConnection::Pause(TimeSource::Duration duration)
{
    const auto deadline = time.Now() + duration;
    while (!Stopping() && time.Now() < deadline)
        Block(-1, deadline);
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

// 0 when logged in. Failures of the first three library calls are logged
// here; a connection or login that does not complete is left to the caller,
// and so is the session of a failed attempt, open or not.
int NVRConnection::Connect()
{
    CloseSession();

    handle = TLAPI_Init();
    if (handle == 0) {
        LogFile.BeginLine() << "TLAPI_Init() failure" << std::endl;
        return -1;
    }
    if (TLAPI_SetCallbackEx(handle, &NVRConnection::EventCallback, this) != 0) {
        LogFile.BeginLine() << "TLAPI_SetCallbackEx() failure" << std::endl;
        return -1;
    }
    if (TLAPI_Open(handle, settings.address.c_str(), settings.port) != 0) {
        LogFile.BeginLine() << "TLAPI_Open() failure" << std::endl;
        return -1;
    }
    TLAPI_SetTimeout(handle, ReplyTimeoutSecs);

    if (AwaitOpened() != 0)
        return -1;

    TLAPI_Discover(handle);
    const int result = TLAPI_Login(handle, settings.login.c_str(), settings.password.c_str());
    if (result != 0)
        return result;

    AwaitLoggedIn();
    if (state != LoggedIn || Stopping())
        return -1;

    LogFile.BeginLine() << "TLAPI_Login succeeded on NVR " << settings.address << " for user '"
                        << settings.login << "'" << std::endl;
    return 0;
}

// Waits without a time limit of its own: the library reports a connection
// that cannot be made as a failed select.
int NVRConnection::AwaitOpened()
{
    while (state != Opened) {
        const int result = SelectOrWait(std::nullopt);
        if (Stopping())
            return -1;
        if (result < 0)
            return state == Opened ? 0 : -1;
    }
    return 0;
}

// A refused login does not end the wait early: the outcome is judged when
// the wait ends.
void NVRConnection::AwaitLoggedIn()
{
    const auto deadline = time.Now() + LoginWait;
    while (state != LoggedIn) {
        const int result = SelectOrWait(deadline);
        if (Stopping() || result < 0 || time.Now() >= deadline)
            return;
    }
}

} // namespace korvel
