// sc-control SERVICE paramchange|stop: sends one control request to an
// installed service and prints the state the service manager answers with
// ("STATE : <number>") and the controls the service accepts, as "sc control"
// and "sc stop" do on Windows (Wine's sc has no "control", and its "stop"
// prints nothing). Exit status 0 when the request was delivered; else 1,
// after the error code.
#include <cstdio>
#include <cstring>

#include <windows.h>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const DWORD control =
        std::strcmp(argv[2], "stop") == 0 ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_PARAMCHANGE;
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager == nullptr ? nullptr : OpenServiceA(manager, argv[1], SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    if (service == nullptr || !ControlService(service, control, &status)) {
        std::printf("FAILED %lu\n", GetLastError());
        return 1;
    }
    std::printf("STATE : %lu\nCONTROLS_ACCEPTED : 0x%lx\n", status.dwCurrentState,
                status.dwControlsAccepted);
    return 0;
}
