#include "host/ServiceMain.h"

#include "host/ConsoleTexts.h"
#include "host/RunService.h"
#include "host/ServiceName.h"
#include "host/StopRequest.h"
#include "log/LogFile.h"
#include "platform/ServicePlatform.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

namespace korvel {

namespace {

// The control handler's stop request for the run.
StopRequest RunStop;

// Written by ServiceMain before the service is reported running; the control
// handler and ServiceRunEnded read it only after that.
std::thread RunThread;

// Set by RunThread before it wakes the dispatcher.
std::atomic<bool> configurationFailed{false};

// Set on the dispatcher's thread when it reports a run that ended by itself.
bool runEndedByItself = false;

// A run that ends by itself (a port in use, an address that does not parse,
// an exception from a handler) must not leave the service reported as
// running while nothing listens: the process ends with a failure status and
// the service manager starts it again.
void RunUntilStoppedOrFailed()
{
    if (RunService(StopSignals::Ignore, RunStop) == RunEnd::UnusableConfiguration)
        configurationFailed = true;
    if (!RunStop.Requested())
        EndServiceDispatcher();
}

} // namespace

void ServiceMain()
{
    if (!RegisterServiceControlHandler().Done()) {
        LogFile.BeginLine() << "ServiceMain call to RegisterServiceCtrlHandler() failed"
                            << std::endl;
        return;
    }
    SetStatus(ServiceState::StartPending, 1, 5000);

    unsigned long error = 0;
    try {
        RunThread = std::thread(RunUntilStoppedOrFailed);
    } catch (const std::system_error& failure) {
        error = static_cast<unsigned long>(failure.code().value());
    }

    if (!RunThread.joinable()) {
        LogErrorEvent(ServiceName, "Unable to start the service.", error);
        SetStatus(ServiceState::Stopped, 0, 0);
        return;
    }
    LogEvent(ServiceName, "Service started.", EventType::Information);
    SetStatus(ServiceState::Running, 0, 0);
}

void ServiceControlHandler(unsigned long control)
{
    switch (control) {
    case ServiceControlStop:
    case ServiceControlShutdown:
        SetStatus(ServiceState::StopPending, 1, 5000);
        LogFile.BeginLine() << "Received Stop request from Service Control Manager" << std::endl;
        // The run stops on its I/O loop, whatever it is doing: a request
        // that comes while it still starts waits there for the loop.
        RunStop.Request();
        if (RunThread.joinable())
            RunThread.join();
        SetStatus(ServiceState::Stopped, 0, 0);
        LogEvent(ServiceName, "Service stopped.", EventType::Information);
        break;
    case ServiceControlInterrogate:
        break;
    default:
        LogErrorEvent(ServiceName,
                      "Service handle called with unrecognized option code = " +
                          std::to_string(control),
                      control);
        break;
    }
}

void ServiceRunEnded()
{
    runEndedByItself = true;
    if (RunThread.joinable())
        RunThread.join();
    // A configuration that cannot be used ends the process at once, as in
    // the foreground, with nothing more said to the service manager.
    if (configurationFailed)
        return;
    SetStatus(ServiceState::StopPending, 1, 5000);
    LogEvent(ServiceName, "Service run ended unexpectedly.", EventType::Error);
}

int ServiceExitStatus()
{
    if (!runEndedByItself)
        return 0;
    return configurationFailed ? ConfigurationErrorStatus : EXIT_FAILURE;
}

} // namespace korvel
