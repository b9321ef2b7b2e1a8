#pragma once

// The seam between the program and the host's service manager and system
// log. Nothing here names a platform type; each platform provides its own
// ServicePlatform_<platform>.cpp.

#include <string>
#include <vector>

using MessageSink = void (*)(const std::string& text);

enum class EventType
{
    Error = 1,
    Information = 4,
};

// Outcomes of handing the process to the service manager.
constexpr unsigned long ErrorInvalidData = 13;
constexpr unsigned long ErrorServiceAlreadyRunning = 1056;
constexpr unsigned long ErrorFailedServiceControllerConnect = 1063;

// Registers the program as an automatically started service. 0 or -1; every
// failure is reported to the system log and to the sink.
int InstallService(const std::string& serviceName, const std::string& displayName,
                   const std::string& description, const std::vector<std::string>& dependencies,
                   MessageSink sink);

// Stops (without waiting) and removes the registration. 0 or -1.
int UninstallService(const std::string& serviceName, MessageSink sink);

// Hands the process to the service manager and blocks while the service runs.
// Returns 0 when the service ran to its end, otherwise one of the error codes
// above or another platform error code.
unsigned long RunServiceDispatcher();

// One record in the system log under the given source name.
void LogEvent(const std::string& source, const std::string& text, EventType type);

// An error record: the text, two blanks, "Error code=0x" and the code as eight
// hexadecimal digits.
void LogErrorEvent(const std::string& source, const std::string& text, unsigned long code);

// True when the process may manage services (sets restart policies).
bool EnableShutdownPrivilege();
