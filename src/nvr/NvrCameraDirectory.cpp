#include "nvr/NvrCameraDirectory.h"

namespace korvel {

NvrCameraDirectory::NvrCameraDirectory(const std::vector<std::string>& cameraAddresses)
{
    for (const std::string& address : cameraAddresses)
        cameras.emplace(address, Camera());
}

void NvrCameraDirectory::SetCameras(const std::vector<std::string>& cameraAddresses)
{
    std::map<std::string, Camera> next;
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::string& address : cameraAddresses) {
        const auto known = cameras.find(address);
        next.emplace(address, known != cameras.end() ? known->second : Camera());
    }
    cameras.swap(next);
}

void NvrCameraDirectory::SetId(const std::string& cameraAddress, std::uint32_t id)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto camera = cameras.find(cameraAddress);
    if (camera != cameras.end())
        camera->second.id = id;
}

std::map<std::string, std::uint32_t> NvrCameraDirectory::Ids() const
{
    std::map<std::string, std::uint32_t> ids;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : cameras)
        ids.emplace_hint(ids.end(), entry.first, entry.second.id);
    return ids;
}

bool NvrCameraDirectory::LearnName(const std::string& cameraAddress, const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto camera = cameras.find(cameraAddress);
    if (camera == cameras.end() || camera->second.name == name)
        return false;
    camera->second.name = name;
    return true;
}

} // namespace korvel
