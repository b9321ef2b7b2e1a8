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
        RunThread = boost::thread([] { RunService(StopSignals::Ignore); });
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
