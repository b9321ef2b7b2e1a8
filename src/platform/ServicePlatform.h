#pragma once

// The seam between the program and the host's service manager and system
// log. Nothing here names a platform type; each platform's backend (linux/,
// windows/) implements it.

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

using MessageSink = void (*)(const std::string& text);

enum class EventType
{
    Error = 1,
    Information = 4,
};

// What a request to the service manager came to: done, or the failure with
// the platform's error code (an errno value on Linux, a system error code on
// Windows) and the words the system log reports it with.
struct ServiceResult
{
    enum class Outcome
    {
        Done,
        // Only from RunServiceDispatcher: no service manager started the
        // program (it was started from a console); no code, no words.
        NotStartedByServiceManager,
        Failed,
    };

    Outcome outcome = Outcome::Done;
    unsigned long code = 0;
    std::string text;

    bool Done() const { return outcome == Outcome::Done; }
    static ServiceResult Failure(unsigned long code, std::string text)
    {
        return {Outcome::Failed, code, std::move(text)};
    }
};

// Registers the program as an automatically started service. Done once it is
// registered (or already was), also when a setting of the registration
// could not be made; otherwise the failure that kept it from being
// registered. Every failure is reported to the system log and to the sink
// as it happens.
ServiceResult InstallService(const std::string& serviceName, const std::string& displayName,
                             const std::string& description,
                             const std::vector<std::string>& dependencies, MessageSink sink);

// Stops (without waiting) and removes the registration; reports as InstallService.
ServiceResult UninstallService(const std::string& serviceName, MessageSink sink);

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
// Done once the service has run to its end: it reported Stopped, or its run
// ended by itself and runEnded was called.
ServiceResult RunServiceDispatcher(const ServiceCallbacks& service);

// Any thread: the service's run has ended without a stop request. The
// dispatcher calls runEnded and returns.
void EndServiceDispatcher();

// States as the service manager is told them.
enum class ServiceState
{
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
};

// Makes the calling service known to the service manager's control channel.
ServiceResult RegisterServiceControlHandler();

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
