#include "host/ServicePlatform.h"

// Service registration, dispatch and the system log on Linux. (Placeholder
// until the systemd backend lands: nothing can be registered, and a process
// is never one the service manager started.)

int InstallService(const std::string&, const std::string&, const std::string&,
                   const std::vector<std::string>&, MessageSink sink)
{
    const std::string text = "Unable to connect to service control manager during install.";
    LogErrorEvent("tlKorvel", text, 38);
    sink(text);
    return -1;
}

int UninstallService(const std::string&, MessageSink sink)
{
    const std::string text = "Unable to connect to service control manager during uninstall.";
    LogErrorEvent("tlKorvel", text, 38);
    sink(text);
    return -1;
}

unsigned long RunServiceDispatcher()
{
    return ErrorFailedServiceControllerConnect;
}

void LogEvent(const std::string&, const std::string&, EventType) {}

bool EnableShutdownPrivilege()
{
    return false;
}
