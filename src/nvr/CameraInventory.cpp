// Copies the NVR's camera ids and names into the matching track cameras.
#include "nvr/NVRConnection.h"

#include "client/ClientServer.h"
#include "log/LogFile.h"
#include "log/LogText.h"
#include "tlapi/tlapi.h"

#include <boost/regex.hpp>

#include <string>

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

// The key of an IP camera: the first dotted group of four numbers in its
// device address.
bool FindAddressKey(const std::string& deviceAddress, std::string& key)
{
    static const boost::regex pattern("(\\d+\\.\\d+\\.\\d+\\.\\d+)");
    boost::smatch match;
    if (!boost::regex_search(deviceAddress, match, pattern))
        return false;
    key = match[1].str();
    return true;
}

} // namespace

void NVRConnection::UpdateCameraInventory(ClientServer& server)
{
    const std::uint32_t count = TLAPI_NumCameras(handle);
    for (std::uint32_t index = 0; index < count; ++index) {
        boost::this_thread::interruption_point();
        const std::uint32_t id = TLAPI_GetCameraId(handle, index);
        const std::string deviceAddress = ReadText(
            [&](char* buffer, int size) { TLAPI_GetDeviceIP(handle, id, buffer, size); });

        const bool analog = deviceAddress.empty();
        std::string key;
        if (analog)
            key = std::to_string(id);
        else if (!FindAddressKey(deviceAddress, key))
            continue;

        if (server.CameraIdDiffers(key, id))
            server.SetCameraId(key, id);
        const std::string name = ReadText(
            [&](char* buffer, int size) { TLAPI_GetCameraName(handle, id, buffer, size); });
        if (server.CameraNameDiffers(key, name)) {
            server.SetCameraName(key, name);
            LogFile.BeginLine() << (analog ? "Adding analog camera name '" : "Adding camera name '")
                                << LogSafe(name) << "' with address " << key << std::endl;
        }
    }
}
