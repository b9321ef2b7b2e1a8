#include "host/ServiceMain.h"

#include "host/RunService.h"
#include "host/ServiceName.h"
#include "host/ServicePlatform.h"
#include "log/LogFile.h"

#include <boost/thread/thread.hpp>

#include <string>

namespace {

// Written by ServiceMain before the service is reported running; the control
// handler reads it only after that.
boost::thread RunThread;

// A run that ends by itself (a port in use, an address that does not parse,
// an exception from a handler) must not leave the service reported as
// running while nothing listens: the process ends with a failure status and
// the service manager starts it again.
void RunUntilStoppedOrFailed()
{
    RunService(StopSignals::Ignore);
    if (!StopWasRequested())
        EndServiceDispatcher();
}

} // namespace

void ServiceMain()
{
    if (!RegisterServiceControlHandler()) {
        LogFile.BeginLine() << "ServiceMain call to RegisterServiceCtrlHandler() failed" << std::endl;
        return;
    }
    SetStatus(ServiceState::StartPending, 1, 5000);

    unsigned long error = 0;
    try {
        RunThread = boost::thread(RunUntilStoppedOrFailed);
    } catch (const boost::thread_resource_error& failure) {
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
        // The interruption reaches the run while it waits for its NVR
        // workers; the stop request ends its I/O loop, which never runs dry.
        RunThread.interrupt();
        RequestStop();
        if (RunThread.joinable())
            RunThread.join();
        SetStatus(ServiceState::Stopped, 0, 0);
        LogEvent(ServiceName, "Service stopped.", EventType::Information);
        break;
    case ServiceControlInterrogate:
        break;
    default:
        LogErrorEvent(ServiceName,
                      "Service handle called with unrecognized option code = " + std::to_string(control),
                      control);
        break;
    }
}

void ServiceRunEnded()
{
    if (RunThread.joinable())
        RunThread.join();
    SetStatus(ServiceState::StopPending, 1, 5000);
    LogEvent(ServiceName, "Service run ended unexpectedly.", EventType::Error);
}
