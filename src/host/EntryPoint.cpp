#include "host/EntryPoint.h"

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
    const RunEnd end = RunService(StopSignals::Handle, stop);
    return end == RunEnd::UnusableConfiguration ? ConfigurationErrorStatus : 0;
}

// Hands the process to the service manager; the exit status.
int StartDispatcher()
{
    const ServiceResult result =
        RunServiceDispatcher(ServiceCallbacks{ServiceMain, ServiceControlHandler, ServiceRunEnded});
    switch (result.outcome) {
    case ServiceResult::Outcome::Done:
        return ServiceExitStatus(); // how the run ended is already in the logs
    case ServiceResult::Outcome::NotStartedByServiceManager:
        PrintNotStartedByServiceManager();
        return NotStartedByServiceManagerStatus;
    case ServiceResult::Outcome::Failed:
        break;
    }
    LogErrorEvent(ServiceName, result.text, result.code);
    return static_cast<int>(result.code);
}

} // namespace

int RunMain(int argc, char** argv)
{
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const std::string option(argv[1] + 1);
        if (EqualsIgnoringAsciiCase(option, "install")) {
            const ServiceResult result =
                InstallService(ServiceName, "tlKorvel", "Tolvanis tlKorvel service",
                               std::vector<std::string>(), LogInstallMessage);
            if (!result.Done()) {
                Print(InstallFailedText);
                return RegistrationFailedStatus;
            }
            return 0;
        }
        if (EqualsIgnoringAsciiCase(option, "uninstall")) {
            if (!UninstallService(ServiceName, LogInstallMessage).Done()) {
                Print(UninstallFailedText);
                return RegistrationFailedStatus;
            }
            return 0;
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
    return StartDispatcher();
}

} // namespace korvel
