#include "nvr/NVRConnection.h"

#include "log/LogFile.h"

NVRConnection::NVRConnection(int retryIntervalSecs, CameraTable& trackCameras)
    : retryIntervalSecs(retryIntervalSecs), trackCameras(trackCameras)
{
}

boost::thread* NVRConnection::Start()
{
    return nullptr;
}

void NVRConnection::Close()
{
    LogFile.BeginLine() << "Closing connection to NVR at " << address << "." << std::endl;
}
