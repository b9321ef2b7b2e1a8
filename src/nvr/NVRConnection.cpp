#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

NVRConnection::NVRConnection(int retryIntervalSecs, CameraTable& trackCameras)
    : retryIntervalSecs(retryIntervalSecs), trackCameras(trackCameras)
{
}

NVRConnection::~NVRConnection()
{
    CloseSession();
    std::lock_guard<std::mutex> lock(triggerMutex);
    softTriggers.clear();
}

boost::thread* NVRConnection::Start()
{
    worker = new boost::thread([this] { Run(); });
    return worker;
}

void NVRConnection::Close()
{
    if (worker)
        worker->interrupt();
    LogFile.BeginLine() << "Closing connection to NVR at " << address << "." << std::endl;
}

void NVRConnection::SetClientServer(ClientServer* server)
{
    {
        boost::lock_guard<boost::mutex> lock(linkMutex);
        clientServer = server;
    }
    linkSet.notify_all();
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
