// sc-control SERVICE CONTROL: sends one control request to an installed
// service and prints the state the service manager answers with, as
// "sc control" does on Windows (Wine's sc has no "control"). CONTROL is
// "paramchange", "stop", "interrogate" or a number. The exit status is 0 when
// the request was delivered; else the service manager's error code is
// printed and the status is 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

namespace {

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    default:
        return "OTHER";
    }
}

DWORD ControlCode(const char* name)
{
    if (_stricmp(name, "paramchange") == 0)
        return SERVICE_CONTROL_PARAMCHANGE;
    if (_stricmp(name, "stop") == 0)
        return SERVICE_CONTROL_STOP;
    if (_stricmp(name, "interrogate") == 0)
        return SERVICE_CONTROL_INTERROGATE;
    return std::strtoul(name, nullptr, 10);
}

int Failed(const char* what)
{
    std::printf("[SC] %s FAILED %lu\n", what, GetLastError());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: sc-control SERVICE paramchange|stop|interrogate|NUMBER\n", stderr);
        return 2;
    }
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return Failed("OpenSCManager");
    const SC_HANDLE service = OpenServiceA(manager, argv[1], SERVICE_ALL_ACCESS);
    if (service == nullptr)
        return Failed("OpenService");
    SERVICE_STATUS status{};
    if (!ControlService(service, ControlCode(argv[2]), &status))
        return Failed("ControlService");
    std::printf("SERVICE_NAME: %s\n", argv[1]);
    std::printf("        STATE              : %lu  %s\n", status.dwCurrentState,
                StateName(status.dwCurrentState));
    std::printf("        CONTROLS_ACCEPTED  : 0x%lx\n", status.dwControlsAccepted);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
