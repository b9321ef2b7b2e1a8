#include "platform/ServicePlatform.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <windows.h>

namespace korvel {

// The service control manager talks to the process through the thread that
// calls StartServiceCtrlDispatcherA: it calls ServiceMain on a thread of its
// own and the control handler on that thread, and the call returns once the
// service has reported itself stopped.
//
// That call runs on a thread of its own here ("the connection"), so that the
// caller of RunServiceDispatcher can also notice a run that ended by itself,
// which no control request reports. The connection queues each control
// request for the caller and returns at once, so that the service's control
// handler and runEnded run on the caller's thread, one at a time, as the
// neutral header promises. It must not wait for the request to be handled:
// the handler reports the service's state, and a service manager may hold
// the connection's lock while it delivers a request (Wine's does), so that
// the report would wait for the connection and the connection for it.

namespace {

struct Dispatcher
{
    std::mutex mutex;
    std::condition_variable changed;
    const ServiceCallbacks* service = nullptr;
    std::string serviceName;              // the service manager's, from ServiceMain
    SERVICE_STATUS_HANDLE statusHandle{}; // written by ServiceMain, before any control
    std::deque<unsigned long> controls;   // requests waiting for the caller
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

void WINAPI ControlHandler(DWORD control)
{
    Dispatcher& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    // After a run that ended by itself the process is on its way out.
    if (state.stopped || state.runEnded)
        return;
    state.controls.push_back(control);
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
        // Requests that came after the service reported itself stopped, or
        // after its run ended by itself, find nothing left to do.
        if (!state.controls.empty() && !state.stopped && !state.runEnded) {
            const unsigned long control = state.controls.front();
            state.controls.pop_front();
            lock.unlock();
            service.controlHandler(control);
            lock.lock();
            continue;
        }
        state.controls.clear();
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
    // A starting service takes no requests; every other state takes stop and
    // shutdown.
    status.dwControlsAccepted =
        state == ServiceState::StartPending ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHintMs;

    // Reported without the lock held: the service manager's side of the
    // call may wait for the connection, which may be waiting for the lock.
    Dispatcher& dispatcher = State();
    SERVICE_STATUS_HANDLE statusHandle;
    {
        std::lock_guard<std::mutex> lock(dispatcher.mutex);
        if (state == ServiceState::Stopped)
            dispatcher.stopped = true;
        statusHandle = dispatcher.statusHandle;
    }
    ::SetServiceStatus(statusHandle, &status);
}

} // namespace korvel
