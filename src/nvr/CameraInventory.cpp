// Takes in the NVR's camera ids and names for the configured track cameras.
#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "log/LogText.h"
#include "nvr/DeviceAddress.h"
#include "nvr/NvrCameraDirectory.h"
#include "tlapi/tlapi.h"

#include <optional>
#include <string>

namespace korvel {

namespace {

const int TextBufferSize = 256;

// A text getter's answer; the buffer is zeroed first and its last byte is
// never overwritten, so the text always ends inside it.
template <typename Getter>
std::string ReadText(Getter get)
{
    char buffer[TextBufferSize] = {};
    get(buffer, TextBufferSize);
    buffer[TextBufferSize - 1] = '\0';
    return buffer;
}

} // namespace

void NVRConnection::UpdateCameraInventory()
{
    const std::uint32_t count = TLAPI_NumCameras(handle);
    camerasListed = count;
    for (std::uint32_t index = 0; index < count && !Ending(); ++index) {
        const std::uint32_t id = TLAPI_GetCameraId(handle, index);
        const std::string deviceAddress =
            ReadText([&](char* buffer, int size) { TLAPI_GetDeviceIP(handle, id, buffer, size); });

        // An analog camera's key is its NVR id.
        const bool analog = deviceAddress.empty();
        const std::optional<std::string> key =
            analog ? std::to_string(id) : DottedAddressIn(deviceAddress);
        if (!key)
            continue;

        cameras.SetId(*key, id);
        if (sink.cameraIdLearned)
            sink.cameraIdLearned(*key, id);
        const std::string name = ReadText(
            [&](char* buffer, int size) { TLAPI_GetCameraName(handle, id, buffer, size); });
        if (cameras.LearnName(*key, name)) {
            LogFile.BeginLine() << (analog ? "Adding analog camera name '" : "Adding camera name '")
                                << LogSafe(name) << "' with address " << *key << std::endl;
            if (sink.cameraNameLearned)
                sink.cameraNameLearned(*key, name);
        }
    }
}

} // namespace korvel
