#include "platform/ProgramDirectory.h"
#include "platform/ServicePlatform.h"

#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

namespace korvel {

namespace {

// Where the event log looks up the sources of the Application log.
const std::string EventSourceKeys = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

void Print(const char* text)
{
    std::fputs(text, stdout);
}

// Reports a failure; the result that says it.
ServiceResult ReportError(const std::string& serviceName, const char* text, unsigned long code,
                          MessageSink sink)
{
    LogErrorEvent(serviceName, text, code);
    sink(text);
    return ServiceResult::Failure(code, text);
}

void ReportInformation(const std::string& serviceName, const char* text, MessageSink sink)
{
    LogEvent(serviceName, text, EventType::Information);
    sink(text);
}

// Closes a service manager handle when it goes out of scope.
class ServiceHandle
{
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle(handle) {}
    ~ServiceHandle()
    {
        if (handle != nullptr)
            ::CloseServiceHandle(handle);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    explicit operator bool() const { return handle != nullptr; }
    SC_HANDLE Get() const { return handle; }

private:
    SC_HANDLE handle;
};

// A manager that cannot be opened for reading counts as "not installed".
bool IsInstalled(const std::string& serviceName)
{
    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
    if (!manager)
        return false;
    const ServiceHandle service(::OpenServiceA(manager.Get(), serviceName.c_str(), GENERIC_READ));
    return static_cast<bool>(service);
}

// The dependency names, each ended by a NUL, and a NUL after the last.
std::vector<char> DependencyList(const std::vector<std::string>& dependencies)
{
    std::vector<char> list;
    for (const std::string& name : dependencies) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back('\0');
    }
    list.push_back('\0');
    list.push_back('\0');
    return list;
}

// The executable becomes the message file of the service's event source, so
// that the event viewer shows each record's text (EventMessages.rc). 0 or the
// error code.
long RegisterEventMessages(const std::string& serviceName, const std::string& program)
{
    HKEY key = nullptr;
    const std::string keyName = EventSourceKeys + serviceName;
    long error = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS)
        return error;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_INFORMATION_TYPE;
    error = ::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(program.c_str()),
                             static_cast<DWORD>(program.size() + 1));
    if (error == ERROR_SUCCESS)
        error = ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&types), sizeof types);
    ::RegCloseKey(key);
    return error;
}

void UnregisterEventMessages(const std::string& serviceName)
{
    // A source that is not registered is what is wanted.
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (EventSourceKeys + serviceName).c_str());
}

// True when the process may set the service's failure actions: its account
// holds the shutdown privilege, which this enables.
bool IsPrivileged()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = false;
    if (::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        // Succeeds even when the account does not hold the privilege; only
        // the last error tells (ERROR_NOT_ALL_ASSIGNED).
        ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        enabled = ::GetLastError() == ERROR_SUCCESS;
    }
    ::CloseHandle(token);
    return enabled;
}

} // namespace

ServiceResult InstallService(const std::string& serviceName, const std::string& displayName,
                             const std::string& description,
                             const std::vector<std::string>& dependencies, MessageSink sink)
{
    if (IsInstalled(serviceName)) {
        Print("The service is already installed\n");
        return {};
    }

    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, GENERIC_WRITE));
    if (!manager)
        return ReportError(serviceName,
                           "Unable to connect to service control manager during install.",
                           ::GetLastError(), sink);

    const std::string program = ProgramPath();
    if (program.empty()) {
        const unsigned long error = ::GetLastError();
        char text[80];
        std::snprintf(text, sizeof text, "GetModuleFileName() failed. Error code=0x%08lx\n", error);
        Print(text);
        const std::string line(text);
        sink(line.substr(0, line.size() - 1)); // the log adds its own line end
        return ServiceResult::Failure(error, "GetModuleFileName() failed.");
    }

    // Own process, may interact with the desktop; started automatically; a
    // failure to start is logged and the boot goes on; the local system
    // account; the path as it is, without quotes or arguments.
    std::vector<char> dependencyList = DependencyList(dependencies);
    const ServiceHandle service(::CreateServiceA(
        manager.Get(), serviceName.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, program.c_str(), nullptr, nullptr, dependencyList.data(), nullptr,
        nullptr));
    if (!service)
        return ReportError(serviceName, "Unable to create service during install.",
                           ::GetLastError(), sink);

    // Registered first, so that the records below already show their texts.
    if (const long error = RegisterEventMessages(serviceName, program))
        ReportError(serviceName, "Unable to register the event source during install.",
                    static_cast<unsigned long>(error), sink);

    std::string descriptionText = description;
    SERVICE_DESCRIPTIONA descriptionInfo{descriptionText.data()};
    if (!::ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION, &descriptionInfo))
        ReportError(serviceName, "Unable to set service description during install.",
                    ::GetLastError(), sink);

    SERVICE_DELAYED_AUTO_START_INFO delayedStart{TRUE};
    if (!::ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                 &delayedStart))
        ReportError(serviceName, "Unable to set service to delayed autostart during install.",
                    ::GetLastError(), sink);

    // Without the privilege the failure actions are left out, silently.
    if (IsPrivileged()) {
        // Restarted a minute after each failure; the count of failures starts
        // again after a day without one.
        SC_ACTION restart[3] = {
            {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
        SERVICE_FAILURE_ACTIONSA failureActions{};
        failureActions.dwResetPeriod = 86400;
        failureActions.lpRebootMsg = nullptr;
        failureActions.lpCommand = nullptr;
        failureActions.cActions = 3;
        failureActions.lpsaActions = restart;
        if (!::ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                                     &failureActions))
            ReportError(serviceName, "Unable to set service failure actions during install.",
                        ::GetLastError(), sink);
    }

    ReportInformation(serviceName, "Installed service.", sink);
    Print("Service installed successfully\n");
    return {};
}

ServiceResult UninstallService(const std::string& serviceName, MessageSink sink)
{
    if (!IsInstalled(serviceName)) {
        Print("The service is not installed\n");
        return {};
    }

    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return ReportError(serviceName,
                           "Unable to connect to service control manager during uninstall.",
                           ::GetLastError(), sink);
    const ServiceHandle service(
        ::OpenServiceA(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service)
        return ReportError(serviceName, "Unable to open service during uninstall.",
                           ::GetLastError(), sink);

    // The stop is sent and not waited for; a service that is not running is
    // no news.
    SERVICE_STATUS status{};
    if (::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        ReportInformation(serviceName, "Stopped the service in order to uninstall", sink);
    } else {
        const unsigned long error = ::GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE)
            ReportError(serviceName,
                        "Unable to connect to service control manager during uninstall.", error,
                        sink);
    }

    if (!::DeleteService(service.Get()))
        return ReportError(serviceName, "Error deleting service during uninstall.",
                           ::GetLastError(), sink);
    ReportInformation(serviceName, "Deleted service.", sink);
    UnregisterEventMessages(serviceName);
    Print("Service uninstalled successfully\n");
    return {};
}

} // namespace korvel
