// Opening a session with the NVR and logging in.
#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

namespace korvel {

// 0 when logged in. Failures of the first three library calls are logged
// here; a connection or login that does not complete is left to the caller,
// and so is the session of a failed attempt, open or not.
int NVRConnection::Connect()
{
    CloseSession();

    handle = TLAPI_Init();
    if (handle == 0) {
        LogFile.BeginLine() << "TLAPI_Init() failure" << std::endl;
        return -1;
    }
    if (TLAPI_SetCallbackEx(handle, &NVRConnection::EventCallback, this) != 0) {
        LogFile.BeginLine() << "TLAPI_SetCallbackEx() failure" << std::endl;
        return -1;
    }
    if (TLAPI_Open(handle, settings.address.c_str(), settings.port) != 0) {
        LogFile.BeginLine() << "TLAPI_Open() failure" << std::endl;
        return -1;
    }
    TLAPI_SetTimeout(handle, ReplyTimeoutSecs);

    if (AwaitOpened() != 0)
        return -1;

    TLAPI_Discover(handle);
    const int result = TLAPI_Login(handle, settings.login.c_str(), settings.password.c_str());
    if (result != 0)
        return result;

    AwaitLoggedIn();
    if (state != LoggedIn || Stopping())
        return -1;

    LogFile.BeginLine() << "TLAPI_Login succeeded on NVR " << settings.address << " for user '"
                        << settings.login << "'" << std::endl;
    return 0;
}

// Waits without a time limit of its own: the library reports a connection
// that cannot be made as a failed select.
int NVRConnection::AwaitOpened()
{
    while (state != Opened) {
        const int result = SelectOrWait(std::nullopt);
        if (Stopping())
            return -1;
        if (result < 0)
            return state == Opened ? 0 : -1;
    }
    return 0;
}

// A refused login does not end the wait early: the outcome is judged when
// the wait ends.
void NVRConnection::AwaitLoggedIn()
{
    const auto deadline = time.Now() + LoginWait;
    while (state != LoggedIn) {
        const int result = SelectOrWait(deadline);
        if (Stopping() || result < 0 || time.Now() >= deadline)
            return;
    }
}

} // namespace korvel
