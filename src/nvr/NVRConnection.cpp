#include "nvr/NVRConnection.h"

#include "log/LogFile.h"

#include <tinyxml2.h>

NVRConnection::NVRConnection(int retryIntervalSecs, CameraTable& trackCameras)
    : retryIntervalSecs(retryIntervalSecs), trackCameras(trackCameras)
{
}

bool NVRConnection::LoadFromElement(const tinyxml2::XMLElement& element)
{
    if (const char* value = element.Attribute("Address"); value && *value)
        address = value;
    return true;
}

boost::thread* NVRConnection::Start()
{
    return nullptr;
}

void NVRConnection::Close()
{
    LogFile.BeginLine() << "Closing connection to NVR at " << address << "." << std::endl;
}
