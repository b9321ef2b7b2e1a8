#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

#include <utility>

namespace korvel {

NVRConnection::NVRConnection(const NvrSettings& settings, int retryIntervalSecs,
                             NvrCameraDirectory& cameras, NvrSink sink, TimeSource& time)
    : settings(settings), retryIntervalSecs(retryIntervalSecs), cameras(cameras),
      sink(std::move(sink)), time(time)
{}

NVRConnection::~NVRConnection()
{
    if (worker.joinable()) {
        worker.request_stop();
        worker.join();
    }
    CloseSession();
}

void NVRConnection::Start()
{
    workerRunning = true;
    worker = std::jthread([this](std::stop_token stopToken) { Run(std::move(stopToken)); });
}

void NVRConnection::Close()
{
    StopWorker();
    LogFile.BeginLine() << "Closing connection to NVR at " << settings.address << "." << std::endl;
}

void NVRConnection::StopWorker()
{
    worker.request_stop();
}

void NVRConnection::RequestRefresh()
{
    refreshAsked = true;
    wakeUp.Wake();
}

void NVRConnection::CloseSession()
{
    if (handle != 0) {
        TLAPI_Close(handle);
        TLAPI_Cleanup(handle);
        handle = 0;
        state = Disconnected;
    }
}

} // namespace korvel
