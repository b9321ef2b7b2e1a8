#include "host/EntryPoint.h"

#include "config/Configuration.h"
#include "host/ConsoleTexts.h"
#include "host/RunService.h"
#include "host/ServiceMain.h"
#include "host/ServiceName.h"
#include "host/StopRequest.h"
#include "log/LogFile.h"
#include "platform/ServicePlatform.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace korvel {

const std::string ServiceName = "tlKorvel";

namespace {

void Print(const char* text)
{
    std::fputs(text, stdout);
}

void PrintUsage()
{
    Print(UsageText);
}

void PrintNotStartedByServiceManager()
{
    std::printf(NotStartedByServiceManagerFormat, ServiceName.c_str(), ServiceName.c_str());
}

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b)
{
    const std::string other(b);
    if (a.size() != other.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(other[i]))
            return false;
    }
    return true;
}

void LogInstallMessage(const std::string& text)
{
    LogFile.BeginLine() << text << std::endl;
}

// Runs the service in the foreground until SIGINT or SIGTERM; the exit status.
int RunInForeground()
{
    StopRequest stop;
    try {
        RunService(StopSignals::Handle, stop);
    } catch (const ConfigurationError& error) {
        LogFile.BeginLine() << error.what() << std::endl;
        return ConfigurationErrorStatus;
    }
    return 0;
}

} // namespace

unsigned long StartDispatcher()
{
    const unsigned long error =
        RunServiceDispatcher(ServiceCallbacks{ServiceMain, ServiceControlHandler, ServiceRunEnded});
    switch (error) {
    case 0:
        return 0;
    case ErrorServiceSpecific:
        // The run's end is already in the logs. RunMain casts the status back.
        return static_cast<unsigned long>(FailedRunExitStatus());
    case ErrorInvalidData:
        LogErrorEvent(ServiceName, "The call to the service dispatcher failed.", error);
        break;
    case ErrorServiceAlreadyRunning:
        LogErrorEvent(ServiceName, "The service is already running.", error);
        break;
    case ErrorFailedServiceControllerConnect:
        PrintNotStartedByServiceManager();
        break;
    default:
        LogErrorEvent(ServiceName, "Unknown error while starting the service.", error);
        break;
    }
    return error;
}

int RunMain(int argc, char** argv)
{
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const std::string option(argv[1] + 1);
        if (EqualsIgnoringAsciiCase(option, "install")) {
            const int result = InstallService(ServiceName, "tlKorvel", "Tolvanis tlKorvel service",
                                              std::vector<std::string>(), LogInstallMessage);
            if (result != 0)
                Print(InstallFailedText);
            return result;
        }
        if (EqualsIgnoringAsciiCase(option, "uninstall")) {
            const int result = UninstallService(ServiceName, LogInstallMessage);
            if (result != 0)
                Print(UninstallFailedText);
            return result;
        }
        if (EqualsIgnoringAsciiCase(option, "d")) {
            Print(DebugModeText);
            std::fflush(stdout);
            return RunInForeground();
        }
        PrintUsage();
        return 0;
    }

    Print(MustRunText);
    PrintUsage();
    std::fflush(stdout);
    return static_cast<int>(StartDispatcher());
}

} // namespace korvel
