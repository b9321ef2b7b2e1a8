// Our soft triggers on the NVR: finding them and creating the missing ones.
#include "nvr/NVRConnection.h"
#include "nvr/SoftTriggerGuid.h"

#include "log/LogFile.h"
#include "nvr/NvrCameraDirectory.h"
#include "tlapi/tlapi.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

namespace korvel {

namespace {

const char* const GuidPrefix = "KORVEL";
const char* const SoftTriggerName = "Korvel Control";
const int GuidBufferSize = 256;

} // namespace

std::string SoftTriggerGuid(std::uint32_t nvrCameraId)
{
    char guid[GuidBufferSize] = {};
    std::snprintf(guid, sizeof guid, "%s_%u", GuidPrefix, static_cast<unsigned>(nvrCameraId));
    return guid;
}

std::uint32_t CameraIdInGuid(const std::string& guid)
{
    if (guid.compare(0, 6, GuidPrefix) != 0)
        return 0;
    const auto underscore = guid.find('_');
    if (underscore == std::string::npos)
        return 0;
    auto next = guid.begin() + static_cast<std::ptrdiff_t>(underscore) + 1;
    while (next != guid.end() && std::isspace(static_cast<unsigned char>(*next)))
        ++next;
    std::uint64_t number = 0;
    for (; next != guid.end() && std::isdigit(static_cast<unsigned char>(*next)); ++next) {
        number = number * 10 + static_cast<unsigned>(*next - '0');
        if (number > std::numeric_limits<std::uint32_t>::max())
            return 0; // names no camera id
    }
    return static_cast<std::uint32_t>(number);
}

void NVRConnection::ScanSoftTriggers(const CameraIds& ids)
{
    // Built aside and swapped in, so that a trigger firing meanwhile (the
    // library reports events from inside its calls) still finds its camera.
    std::map<std::uint32_t, OurTrigger> found;
    const std::uint32_t count = TLAPI_NumSoftTriggers(handle);
    for (std::uint32_t index = 0; index < count; ++index) {
        if (Ending())
            return;
        const std::uint32_t id = TLAPI_GetSoftTriggerId(handle, index);
        char guid[GuidBufferSize] = {};
        TLAPI_GetSoftTriggerGuid(handle, id, guid, GuidBufferSize);
        guid[GuidBufferSize - 1] = '\0';

        const std::uint32_t cameraId = CameraIdInGuid(guid);
        if (cameraId == 0)
            continue;
        for (const auto& [address, nvrId] : ids) {
            if (nvrId == cameraId) {
                found[id] = OurTrigger{address, cameraId};
                break;
            }
        }
    }
    softTriggers.swap(found);
}

void NVRConnection::CreateSoftTriggers()
{
    // The cameras as they stand now; a reload that changes them meanwhile
    // asks for the refresh that takes the change in.
    const CameraIds ids = cameras.Ids();
    ScanSoftTriggers(ids);
    for (const auto& entry : ids) {
        if (Ending())
            return;
        const std::uint32_t cameraId = entry.second;
        const bool present =
            std::any_of(softTriggers.begin(), softTriggers.end(),
                        [&](const auto& trigger) { return trigger.second.cameraId == cameraId; });
        if (present || cameraId == 0)
            continue;

        const std::string guid = SoftTriggerGuid(cameraId);
        const int result = TLAPI_CreateSoftTriggerWithGuid(handle, SoftTriggerName, guid.c_str());
        if (result != 0) {
            LogFile.BeginLine() << "Error " << result << " in TLAPI_CreateSoftTriggerWithGuid()"
                                << std::endl;
            continue;
        }
        AwaitTriggerAcknowledged();
    }
    // The scan that opens UpdateAssociations finds the new triggers.
}

// Gives the NVR time to confirm the creation; whether or not it does, the
// walk goes on afterwards.
void NVRConnection::AwaitTriggerAcknowledged()
{
    triggerAcknowledged = false;
    const auto deadline = time.Now() + AcknowledgementWait;
    while (!triggerAcknowledged) {
        const int result = SelectOrWait(deadline);
        if (Ending() || result < 0 || time.Now() >= deadline)
            return;
    }
}

} // namespace korvel
