#include "host/EntryPoint.h"

#include "config/Configuration.h"
#include "host/RunService.h"
#include "host/ServiceMain.h"
#include "host/ServiceName.h"
#include "host/ServicePlatform.h"
#include "host/StopRequest.h"
#include "log/LogFile.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

const std::string ServiceName = "tlKorvel";

namespace {

void Print(const char* text)
{
    std::fputs(text, stdout);
}

void PrintUsage()
{
    Print("Service management options:\n");
    Print("  -install    to install the service.\n");
    Print("  -uninstall  to remove the service.\n");
    Print("To start or stop tlKorvel after it has been installed as a service use\n");
    Print("    net start tlKorvel\n");
    Print("or\n");
    Print("    net stop tlkorvel\n\n");
    Print("\nUse -d to run in command line mode\n");
}

void PrintNotStartedByServiceManager()
{
    Print("This application is designed to be run as a Windows service.\n");
    Print("It cannot be run from the command line.\n\n");
    Print("To install as a service, run using the command line option  /install\n");
    Print("then start it from the Windows Services panel.\n");
    std::printf("The service name to look for is '%s'.\n", ServiceName.c_str());
    Print("You may also start the installed service from a command prompt with the command\n");
    std::printf("    sc start %s\n", ServiceName.c_str());
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
    const unsigned long error = RunServiceDispatcher();
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
                Print("Error installing service.  See the application log for details.\n");
            return result;
        }
        if (EqualsIgnoringAsciiCase(option, "uninstall")) {
            const int result = UninstallService(ServiceName, LogInstallMessage);
            if (result != 0)
                Print("Error uninstalling service.  See the application log for details.\n");
            return result;
        }
        if (EqualsIgnoringAsciiCase(option, "d")) {
            Print("Running in debug command line mode\n");
            std::fflush(stdout);
            return RunInForeground();
        }
        PrintUsage();
        return 0;
    }

    Print("Must be run with command line options or installed as a service\n\n");
    PrintUsage();
    std::fflush(stdout);
    return static_cast<int>(StartDispatcher());
}
