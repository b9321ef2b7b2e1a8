#pragma once

namespace korvel {

// What the program prints on its console, and the statuses it ends with
// that scripts see there, in one place. The service was first
// written for a platform whose service manager is driven with "net start",
// "sc start" and a Services panel, and these texts name them. They are kept
// as they are on every platform: operators' scripts and instructions compare
// the output word for word, and the same program prints the same thing
// wherever it runs.

constexpr const char* MustRunText =
    "Must be run with command line options or installed as a service\n\n";

constexpr const char* UsageText =
    "Service management options:\n"
    "  -install    to install the service.\n"
    "  -uninstall  to remove the service.\n"
    "To start or stop tlKorvel after it has been installed as a service use\n"
    "    net start tlKorvel\n"
    "or\n"
    "    net stop tlkorvel\n\n"
    "\nUse -d to run in command line mode\n";

// Printed when the service manager did not start the program; %s is the
// service name, twice.
constexpr const char* NotStartedByServiceManagerFormat =
    "This application is designed to be run as a Windows service.\n"
    "It cannot be run from the command line.\n\n"
    "To install as a service, run using the command line option  /install\n"
    "then start it from the Windows Services panel.\n"
    "The service name to look for is '%s'.\n"
    "You may also start the installed service from a command prompt with the command\n"
    "    sc start %s\n";

constexpr const char* DebugModeText = "Running in debug command line mode\n";
constexpr const char* InstallFailedText =
    "Error installing service.  See the application log for details.\n";
constexpr const char* UninstallFailedText =
    "Error uninstalling service.  See the application log for details.\n";

// Exit statuses, kept everywhere for the same reason. A failed -install or
// -uninstall, and a run on an unusable configuration, end with 255 (-1).
constexpr int RegistrationFailedStatus = -1;
constexpr int ConfigurationErrorStatus = -1;
// A start that no service manager made ends with the service control
// manager's own code for it (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT; 39 on
// a platform that keeps eight bits of it).
constexpr int NotStartedByServiceManagerStatus = 1063;

} // namespace korvel
