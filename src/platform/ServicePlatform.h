#pragma once

// The seam between the program and the host's service manager and system
// log. Nothing here names a platform type; each platform provides its own
// *_<platform>.cpp files.

#include <functional>
#include <string>
#include <vector>

namespace korvel {

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
// The service's run ended without a stop request: the process ends with a
// failure status, so that the service manager starts it again.
constexpr unsigned long ErrorServiceSpecific = 1066;

// Registers the program as an automatically started service. 0 or -1; every
// failure is reported to the system log and to the sink.
int InstallService(const std::string& serviceName, const std::string& displayName,
                   const std::string& description, const std::vector<std::string>& dependencies,
                   MessageSink sink);

// Stops (without waiting) and removes the registration. 0 or -1.
int UninstallService(const std::string& serviceName, MessageSink sink);

// True when the process may manage services (sets restart policies).
bool EnableShutdownPrivilege();

// Control codes of the service manager. User-defined codes (128 to 255) are
// passed on as they come.
constexpr unsigned long ServiceControlStop = 1;
constexpr unsigned long ServiceControlInterrogate = 4;
constexpr unsigned long ServiceControlShutdown = 5;

// The service as the dispatcher sees it.
struct ServiceCallbacks
{
    void (*serviceMain)();                         // on a thread of its own
    void (*controlHandler)(unsigned long control); // on the dispatcher's thread
    void (*runEnded)();                            // on the dispatcher's thread, see below
};

// Hands the process to the service manager and blocks while the service runs:
// serviceMain is called on a thread of its own, and the control requests of
// the service manager reach controlHandler on the calling thread.
// Returns 0 when the service ran to its end (it reported Stopped),
// ErrorServiceSpecific when its run ended by itself, otherwise
// one of the error codes above or another platform error code.
unsigned long RunServiceDispatcher(const ServiceCallbacks& service);

// Any thread: the service's run has ended without a stop request. The
// dispatcher calls runEnded and returns ErrorServiceSpecific.
void EndServiceDispatcher();

// States as the service manager is told them.
enum class ServiceState
{
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
};

// Makes the calling service known to the service manager's control channel;
// false when the service manager refuses.
bool RegisterServiceControlHandler();

// Tells the service manager the service's state. A pending state promises the
// next report within waitHintMs; checkPoint counts the progress within it.
void SetStatus(ServiceState state, unsigned long checkPoint, unsigned long waitHintMs);

// One record in the system log under the given source name.
void LogEvent(const std::string& source, const std::string& text, EventType type);

// An error record: the text, two blanks, "Error code=0x" and the code as eight
// hexadecimal digits.
void LogErrorEvent(const std::string& source, const std::string& text, unsigned long code);

// Where LogEvent sends its records instead of the system log, for a program
// that embeds the service. An empty sink restores the default: the file named
// by the environment variable TLKORVEL_EVENT_LOG (one line per record: the
// type, a blank and the text) when it is set, else the system log.
using EventSink =
    std::function<void(EventType type, const std::string& source, const std::string& text)>;
void SetEventSink(EventSink sink);

// The platform's system log itself.
void WriteSystemLogRecord(const std::string& source, const std::string& text, EventType type);

} // namespace korvel
