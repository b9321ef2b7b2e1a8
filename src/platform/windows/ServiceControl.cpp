#include "platform/ServicePlatform.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <windows.h>

namespace korvel {

// The service control manager talks to the process through the thread that
// calls StartServiceCtrlDispatcherA: it calls ServiceMain on a thread of its
// own and the control callback (ControlHandler) on that thread (Wine: on a
// thread of the call's own), and the call returns once the service has
// reported itself stopped. The sender of a control request (sc stop, net
// stop, -uninstall) gets its answer, with the service's state, when the
// callback returns.
//
// That call runs on a thread of its own here ("the connection"), so that the
// caller of RunServiceDispatcher can also notice a run that ended by itself,
// which no control request reports. The callback queues each control request
// for the caller, so that the service's control handler and runEnded run on
// the caller's thread, one at a time, as the neutral header promises, and
// waits until the handler is done: the sender then sees what its request
// did (sc stop returns with the service stopped, and the service has logged
// its stop before -uninstall logs that it stopped the service).
//
// While it waits, the callback carries out the status reports of the other
// threads itself. The service manager may hold a lock while it delivers a
// request that a report needs too: Wine's holds its table of the process's
// services, which its SetServiceStatus takes to report a stop. A report made
// on another thread would wait for the callback and the callback for it; on
// the callback's own thread it holds what the service manager holds.
//
// The callback waits at most HandlerPatience, a little less than the service
// manager waits for it (30 s on Windows); a handler that takes longer goes on
// alone and reports from its own thread, as if the callback had returned at
// once.

namespace {

constexpr std::chrono::seconds HandlerPatience{20};

// A status report handed to the waiting callback.
struct StatusReport
{
    SERVICE_STATUS status;
    bool done = false;
};

struct Dispatcher
{
    std::mutex mutex;
    std::condition_variable changed;
    const ServiceCallbacks* service = nullptr;
    std::string serviceName;              // the service manager's, from ServiceMain
    SERVICE_STATUS_HANDLE statusHandle{}; // written by ServiceMain, before any control
    std::deque<unsigned long> controls;   // requests waiting for the caller
    std::uint64_t controlsQueued = 0;     // requests queued so far
    std::uint64_t controlsHandled = 0;    // of those, the ones the caller is done with
    int callbacksWaiting = 0;             // callbacks waiting for their request
    std::deque<StatusReport*> reports;    // reports waiting for a callback to make them
    bool stopped = false;                 // Stopped has been reported
    bool runEnded = false;                // EndServiceDispatcher was called
    bool connectionEnded = false;         // StartServiceCtrlDispatcherA returned
    unsigned long connectionResult = 0;   // 0 or its error code
};

// Never destroyed: the connection may still be inside the service manager's
// call when the process ends after a run that ended by itself.
Dispatcher& State()
{
    static Dispatcher* const dispatcher = new Dispatcher;
    return *dispatcher;
}

// True on the thread of a callback while it waits.
thread_local bool waitingCallbackThread = false;

// The reports handed to the waiting callback, made on its thread. Called and
// returns with the lock held, and no report left.
void MakeHandedReports(Dispatcher& state, std::unique_lock<std::mutex>& lock)
{
    while (!state.reports.empty()) {
        StatusReport* report = state.reports.front();
        state.reports.pop_front();
        const SERVICE_STATUS_HANDLE statusHandle = state.statusHandle;
        lock.unlock();
        ::SetServiceStatus(statusHandle, &report->status);
        lock.lock();
        report->done = true;
        state.changed.notify_all();
    }
}

void WINAPI ControlHandler(DWORD control)
{
    Dispatcher& state = State();
    std::unique_lock<std::mutex> lock(state.mutex);
    // After a run that ended by itself the process is on its way out.
    if (state.stopped || state.runEnded)
        return;
    state.controls.push_back(control);
    const std::uint64_t ticket = ++state.controlsQueued;
    state.changed.notify_all();

    ++state.callbacksWaiting;
    waitingCallbackThread = true;
    const auto deadline = std::chrono::steady_clock::now() + HandlerPatience;
    for (;;) {
        MakeHandedReports(state, lock);
        if (state.controlsHandled >= ticket || std::chrono::steady_clock::now() >= deadline)
            break;
        state.changed.wait_until(lock, deadline);
    }
    waitingCallbackThread = false;
    --state.callbacksWaiting;
    state.changed.notify_all();
}

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv)
{
    Dispatcher& state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (argc > 0 && argv[0] != nullptr)
            state.serviceName = argv[0];
    }
    state.service->serviceMain();
}

// The result of a connection that failed, and the system log's words for it.
ServiceResult ConnectionFailure(unsigned long error)
{
    switch (error) {
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
        return {ServiceResult::Outcome::NotStartedByServiceManager, error, {}};
    case ERROR_INVALID_DATA:
        return ServiceResult::Failure(error, "The call to the service dispatcher failed.");
    case ERROR_SERVICE_ALREADY_RUNNING:
        return ServiceResult::Failure(error, "The service is already running.");
    default:
        return ServiceResult::Failure(error, "Unknown error while starting the service.");
    }
}

void RunConnection()
{
    // The name is not looked at for a service in a process of its own.
    char noName[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{noName, ServiceMainEntry}, {nullptr, nullptr}};
    const BOOL connected = ::StartServiceCtrlDispatcherA(table);
    const unsigned long error = connected ? 0 : ::GetLastError();

    Dispatcher& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.connectionResult = error;
    state.connectionEnded = true;
    state.changed.notify_all();
}

} // namespace

ServiceResult RunServiceDispatcher(const ServiceCallbacks& service)
{
    Dispatcher& state = State();
    state.service = &service;
    std::thread connection;
    try {
        connection = std::thread(RunConnection);
    } catch (const std::system_error& error) {
        return ConnectionFailure(static_cast<unsigned long>(error.code().value()));
    }

    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        state.changed.wait(lock, [&] {
            return !state.controls.empty() || state.runEnded || state.connectionEnded;
        });
        if (!state.controls.empty()) {
            const unsigned long control = state.controls.front();
            state.controls.pop_front();
            // Requests that came after the service reported itself stopped,
            // or after its run ended by itself, find nothing left to do.
            if (!state.stopped && !state.runEnded) {
                lock.unlock();
                service.controlHandler(control);
                lock.lock();
            }
            ++state.controlsHandled;
            state.changed.notify_all();
            continue;
        }
        // A stop handled meanwhile has already waited for the run and reported it.
        if (state.runEnded && !state.stopped) {
            lock.unlock();
            service.runEnded();
            // The service manager's call never returns without a Stopped
            // report, which would keep the service manager from starting
            // the service again: the process ends with the connection open.
            connection.detach();
            return {};
        }
        if (state.connectionEnded) {
            const unsigned long error = state.connectionResult;
            // The callback's return answers the sender of the last request:
            // the process does not end while a callback is still inside.
            state.changed.wait(lock, [&] { return state.callbacksWaiting == 0; });
            lock.unlock();
            connection.join();
            return error == 0 ? ServiceResult() : ConnectionFailure(error);
        }
    }
}

void EndServiceDispatcher()
{
    Dispatcher& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.runEnded = true;
    state.changed.notify_all();
}

ServiceResult RegisterServiceControlHandler()
{
    Dispatcher& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.statusHandle = ::RegisterServiceCtrlHandlerA(state.serviceName.c_str(), ControlHandler);
    if (state.statusHandle == nullptr)
        return ServiceResult::Failure(::GetLastError(), "RegisterServiceCtrlHandler() failed");
    return {};
}

void SetStatus(ServiceState state, unsigned long checkPoint, unsigned long waitHintMs)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = static_cast<DWORD>(state);
    // A starting service takes no requests; every other state takes stop,
    // shutdown and a parameter change (a reload of the configuration).
    status.dwControlsAccepted =
        state == ServiceState::StartPending
            ? 0
            : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHintMs;

    Dispatcher& dispatcher = State();
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    if (state == ServiceState::Stopped)
        dispatcher.stopped = true;
    if (dispatcher.callbacksWaiting > 0 && !waitingCallbackThread) {
        StatusReport report{status};
        dispatcher.reports.push_back(&report);
        dispatcher.changed.notify_all();
        dispatcher.changed.wait(lock, [&] { return report.done; });
        return;
    }
    const SERVICE_STATUS_HANDLE statusHandle = dispatcher.statusHandle;
    // Reported without the lock held: the service manager's side of the
    // call may wait for the connection, which may be waiting for the lock.
    lock.unlock();
    ::SetServiceStatus(statusHandle, &status);
}

// The service manager has no state for a reload: the service stays running.
void ReportReloadStarted() {}

void ReportReloadEnded(const std::string&) {}

} // namespace korvel
