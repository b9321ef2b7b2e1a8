#include "platform/ProgramDirectory.h"
#include "platform/ServicePlatform.h"
#include "platform/linux/SystemdUnits.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

extern char** environ;

namespace korvel {

// The registration is a pair of unit files in systemd's unit folder: the
// service and the timer that gives its delayed start. A running systemd is
// told of every change; units written into a folder named by
// TLKORVEL_SYSTEMD_DIR are left for whoever set it (a package build, a test)
// to announce.

namespace {

const char* const DefaultUnitDirectory = "/etc/systemd/system";

struct UnitFolder
{
    std::string directory;
    bool announce; // tell a running systemd about changes
};

UnitFolder FindUnitFolder()
{
    const char* chosen = std::getenv("TLKORVEL_SYSTEMD_DIR");
    if (chosen != nullptr && *chosen != '\0')
        return {chosen, false};
    return {DefaultUnitDirectory, sd_booted() > 0};
}

std::string UnitPath(const UnitFolder& folder, const std::string& unitName)
{
    const std::string& directory = folder.directory;
    return directory.back() == '/' ? directory + unitName : directory + "/" + unitName;
}

bool Exists(const std::string& path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

// Returns 0 when the folder takes new and removed units, else the errno.
int CheckWritable(const std::string& directory)
{
    return ::access(directory.c_str(), W_OK) == 0 ? 0 : errno;
}

// Runs systemctl with the arguments and returns 0, its exit status, or the
// errno of a failed start. Its standard output goes to our standard error:
// our standard output carries only the program's own texts.
int Systemctl(std::initializer_list<const char*> arguments)
{
    std::vector<char*> argv{const_cast<char*>("systemctl")};
    for (const char* argument : arguments)
        argv.push_back(const_cast<char*>(argument));
    argv.push_back(nullptr);

    std::fflush(stdout);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t child = -1;
    const int spawnError =
        ::posix_spawnp(&child, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0)
        return spawnError;

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return errno;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void Print(const char* text)
{
    std::fputs(text, stdout);
}

// Reports a failure; the result that says it.
ServiceResult ReportError(const std::string& source, const char* text, unsigned long code,
                          MessageSink sink)
{
    LogErrorEvent(source, text, code);
    sink(text);
    return ServiceResult::Failure(code, text);
}

void ReportInformation(const std::string& source, const char* text, MessageSink sink)
{
    LogEvent(source, text, EventType::Information);
    sink(text);
}

// True when the process may set the service's restart policy: it runs as root.
bool IsPrivileged()
{
    return ::geteuid() == 0;
}

} // namespace

ServiceResult InstallService(const std::string& serviceName, const std::string& displayName,
                             const std::string& description,
                             const std::vector<std::string>& dependencies, MessageSink sink)
{
    const UnitFolder folder = FindUnitFolder();
    const std::string serviceUnit = serviceName + ".service";
    const std::string timerUnit = serviceName + ".timer";
    const std::string servicePath = UnitPath(folder, serviceUnit);

    if (Exists(servicePath)) {
        Print("The service is already installed\n");
        return {};
    }
    if (const int error = CheckWritable(folder.directory)) {
        // A folder this account may not write is a refusal to create the
        // service; a folder that is missing means there is no service manager.
        const bool refused = error == EACCES || error == EPERM || error == EROFS;
        return ReportError(serviceName,
                           refused ? "Unable to create service during install."
                                   : "Unable to connect to service control manager during install.",
                           error, sink);
    }

    const std::string program = ProgramPath();
    if (program.empty()) {
        const unsigned long error = static_cast<unsigned long>(errno);
        char text[80];
        std::snprintf(text, sizeof text, "GetModuleFileName() failed. Error code=0x%08lx\n", error);
        Print(text);
        const std::string line(text);
        sink(line.substr(0, line.size() - 1)); // the log adds its own line end
        return ServiceResult::Failure(error, "GetModuleFileName() failed.");
    }
    ServiceUnitSettings settings;
    settings.description = description;
    settings.program = program;
    settings.dependencies = dependencies;
    // Without the right to manage services the restart policy is left out, silently.
    settings.restartOnFailure = IsPrivileged();
    // The service runs as root (settings.account stays empty): the program may
    // stand in any folder, owned by any account, and must still reach its
    // configuration and write its log there.
    const std::optional<std::string> serviceText = ServiceUnitText(settings);
    if (!serviceText) // systemd would refuse to run it
        return ReportError(serviceName, "Unable to create service during install.", EINVAL, sink);

    if (const std::error_code error = WriteUnitFile(servicePath, *serviceText))
        return ReportError(serviceName, "Unable to create service during install.",
                           static_cast<unsigned long>(error.value()), sink);

    int delayedStartError =
        WriteUnitFile(UnitPath(folder, timerUnit), TimerUnitText(serviceName, displayName)).value();
    if (delayedStartError == 0 && folder.announce) {
        delayedStartError = Systemctl({"daemon-reload"});
        if (delayedStartError == 0)
            delayedStartError = Systemctl({"enable", timerUnit.c_str()});
    }
    if (delayedStartError != 0)
        ReportError(serviceName, "Unable to set service to delayed autostart during install.",
                    delayedStartError, sink);

    ReportInformation(serviceName, "Installed service.", sink);
    Print("Service installed successfully\n");
    return {};
}

namespace {

// Disables and removes both units; 0 or the first error. The timer goes
// first, so that a failure leaves the service registered for another try.
int DeleteUnits(const UnitFolder& folder, const std::string& serviceUnit,
                const std::string& timerUnit)
{
    const std::string timerPath = UnitPath(folder, timerUnit);
    if (folder.announce && Exists(timerPath)) {
        if (const int error = Systemctl({"disable", "--now", timerUnit.c_str()}))
            return error;
    }
    if (::unlink(timerPath.c_str()) != 0 && errno != ENOENT)
        return errno;
    if (::unlink(UnitPath(folder, serviceUnit).c_str()) != 0)
        return errno;
    return folder.announce ? Systemctl({"daemon-reload"}) : 0;
}

} // namespace

ServiceResult UninstallService(const std::string& serviceName, MessageSink sink)
{
    const UnitFolder folder = FindUnitFolder();
    const std::string serviceUnit = serviceName + ".service";
    const std::string timerUnit = serviceName + ".timer";

    if (!Exists(UnitPath(folder, serviceUnit))) {
        Print("The service is not installed\n");
        return {};
    }
    if (const int error = CheckWritable(folder.directory))
        return ReportError(serviceName,
                           "Unable to connect to service control manager during uninstall.", error,
                           sink);

    if (folder.announce) {
        // A service that is not running is not worth a report; the stop is
        // still sent, since one that is just starting is not yet active.
        const bool wasActive = Systemctl({"--quiet", "is-active", serviceUnit.c_str()}) == 0;
        const int error = Systemctl({"stop", "--no-block", serviceUnit.c_str()});
        if (wasActive && error == 0)
            ReportInformation(serviceName, "Stopped the service in order to uninstall", sink);
        else if (wasActive)
            ReportError(serviceName,
                        "Unable to connect to service control manager during uninstall.", error,
                        sink);
    }

    if (const int error = DeleteUnits(folder, serviceUnit, timerUnit))
        return ReportError(serviceName, "Error deleting service during uninstall.", error, sink);
    ReportInformation(serviceName, "Deleted service.", sink);
    Print("Service uninstalled successfully\n");
    return {};
}

} // namespace korvel
