#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korvel {

// What the NVRs have told of each configured track camera: its NVR camera id
// and its name, by the camera's configured Address. One directory serves
// every NVR connection, so that a camera one NVR knows gets a soft trigger
// and an association on the others too, and a name is news only once
// whichever NVR tells it.
//
// Threads: any; every NVR worker reads and writes it, and a reload sets its
// cameras (SetCameras), each under the one lock.
class NvrCameraDirectory
{
public:
    explicit NvrCameraDirectory(const std::vector<std::string>& cameraAddresses);
    NvrCameraDirectory(const NvrCameraDirectory&) = delete;
    NvrCameraDirectory& operator=(const NvrCameraDirectory&) = delete;

    // The configured cameras from now on (a reload): a camera that stays
    // keeps what the NVRs told of it, a new one starts with nothing, a
    // removed one is forgotten.
    void SetCameras(const std::vector<std::string>& cameraAddresses);

    // Records the NVR camera id of a configured camera; other addresses are ignored.
    void SetId(const std::string& cameraAddress, std::uint32_t id);
    // Every configured camera's NVR id (0 while no NVR has told one), in
    // byte-wise order of the addresses.
    std::map<std::string, std::uint32_t> Ids() const;
    // Records the name of a configured camera. True when it differs from the
    // name recorded before (initially empty); false for other addresses.
    bool LearnName(const std::string& cameraAddress, const std::string& name);

private:
    struct Camera
    {
        std::uint32_t id = 0;
        std::string name;
    };

    mutable std::mutex mutex; // guards cameras: the NVR workers share them
    std::map<std::string, Camera> cameras;
};

} // namespace korvel
