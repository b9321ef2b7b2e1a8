#include "camera/TrackCamera.h"

#include <tinyxml2.h>

// Placeholder until the camera link lands: configuration only, no link.

TrackCamera::TrackCamera(boost::asio::io_context&, const tinyxml2::XMLElement& element, int, int)
{
    if (const char* value = element.Attribute("Address"))
        address = value;
    element.QueryUnsignedAttribute("PelcoNumber", &pelcoNumber);
}

TrackCamera::~TrackCamera() = default;

void TrackCamera::SendCommand(std::uint16_t, std::int32_t, const char*, std::size_t) {}

void TrackCamera::Stop() {}

std::uint32_t TrackCamera::GetNvrCameraId() const
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    return nvrCameraId;
}

void TrackCamera::SetNvrCameraId(std::uint32_t id)
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    nvrCameraId = id;
}

std::string TrackCamera::GetNvrCameraName() const
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    return nvrCameraName;
}

void TrackCamera::SetNvrCameraName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    nvrCameraName = name;
}

std::uint32_t TrackCamera::GetSoftTriggerId() const
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    return softTriggerId;
}

void TrackCamera::SetSoftTriggerId(std::uint32_t id)
{
    std::lock_guard<std::mutex> lock(nvrMutex);
    softTriggerId = id;
}
