// Each camera's association on the NVR lists the soft triggers of ours that
// belong to the camera.
#include "nvr/NVRConnection.h"
#include "nvr/SoftTriggerGuid.h"

#include "log/LogFile.h"
#include "log/LogText.h"
#include "nvr/NvrCameraDirectory.h"
#include "tlapi/tlapi.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvel {

namespace {

// The name and font buffers the library fills.
const int AssociationTextSize = TLAPI_TEXT_BUFFER_SIZE;
// The NVR reports how many entries an association has and we make room for
// them: more than one association may hold is no association we can take in.
const std::uint32_t MaxAssociationEntries = TLAPI_MAX_ASSOCIATION_ENTRIES;

// Values of an association the program creates.
const std::uint32_t NewDisplayMode = 4;
const std::uint16_t NewDisplayWidth = 50;
const std::uint32_t NewTextColour = 0x808080;
const std::uint32_t NewOptions = 0;
const std::uint32_t Active = 1;
const char* const NewFont = "Arial";
const std::uint32_t NewFontSize = 8;
const std::uint32_t NewMarkerColour = 0xFFFF00;
const std::uint32_t NewMarkerSize = 70;
const std::uint32_t NewMarkerX = 90;
const std::uint32_t NewMarkerY = 90;

// Values of an entry that lists a soft trigger.
const std::uint32_t EntryKindSoftTrigger = 8;
const std::uint32_t EntryAction = 2;

TLAPI_ASSOCIATION_ENTRY BlankEntry()
{
    TLAPI_ASSOCIATION_ENTRY entry{};
    entry.size = sizeof entry;
    return entry;
}

// One camera's association: the record and the buffers it points into.
class Association
{
public:
    Association(std::uint32_t handle, std::uint32_t cameraId) : handle(handle), cameraId(cameraId)
    {
        record.size = sizeof record;
        record.name = name;
        record.font = font;
    }
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    // False when the NVR reports more entries than we take in.
    bool Read()
    {
        Fetch();
        if (record.nameLength == 0) {
            DescribeNew();
            return true;
        }
        if (record.entryCount > MaxAssociationEntries)
            return false;
        entries.assign(record.entryCount, BlankEntry());
        if (!entries.empty())
            record.entries = entries.data();
        Fetch();
        // The association may have lost entries since the first look.
        if (record.entryCount < entries.size())
            entries.resize(record.entryCount);
        return true;
    }

    bool Lists(std::uint32_t softTriggerId) const
    {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const auto& entry) { return entry.softTriggerId == softTriggerId; });
    }

    void Append(std::uint32_t softTriggerId)
    {
        TLAPI_ASSOCIATION_ENTRY entry{};
        entry.size = sizeof entry;
        entry.position = static_cast<std::uint32_t>(entries.size()) + 1;
        entry.kind = EntryKindSoftTrigger;
        entry.softTriggerId = softTriggerId;
        entry.action = EntryAction;
        entries.push_back(entry);
    }

    void Store()
    {
        PointAtBuffers();
        record.entries = entries.empty() ? nullptr : entries.data();
        record.entryCount = static_cast<std::uint32_t>(entries.size());
        record.active = Active;
        const int result = TLAPI_UpdateAssociation(handle, &record);
        if (result != 0)
            LogFile.BeginLine() << "Error " << result
                                << " while creating or updating association for " << LogSafe(name)
                                << std::endl;
    }

private:
    void PointAtBuffers()
    {
        record.size = sizeof record;
        record.name = name;
        record.font = font;
    }

    void Fetch()
    {
        PointAtBuffers();
        TLAPI_GetAssociationForCamera(handle, cameraId, &record);
        name[AssociationTextSize - 1] = '\0';
        font[AssociationTextSize - 1] = '\0';
    }

    void DescribeNew()
    {
        const std::string guid = SoftTriggerGuid(cameraId);
        std::memset(name, 0, sizeof name);
        std::memcpy(name, guid.c_str(), guid.size());
        std::memset(font, 0, sizeof font);
        std::memcpy(font, NewFont, std::strlen(NewFont));
        record.nameLength = static_cast<std::uint32_t>(guid.size()) + 1;
        record.cameraId = cameraId;
        record.displayMode = NewDisplayMode;
        record.displayWidth = NewDisplayWidth;
        record.textColour = NewTextColour;
        record.options = NewOptions;
        record.active = Active;
        record.fontSize = NewFontSize;
        record.markerColour = NewMarkerColour;
        record.markerSize = NewMarkerSize;
        record.markerX = NewMarkerX;
        record.markerY = NewMarkerY;
        record.entries = nullptr;
        record.entryCount = 0;
    }

    std::uint32_t handle;
    std::uint32_t cameraId;
    TLAPI_ASSOCIATION record{};
    char name[AssociationTextSize] = {};
    char font[AssociationTextSize] = {};
    std::vector<TLAPI_ASSOCIATION_ENTRY> entries;
};

} // namespace

void NVRConnection::UpdateAssociations()
{
    const CameraIds ids = cameras.Ids();
    ScanSoftTriggers(ids);
    for (const auto& [address, cameraId] : ids) {
        if (Ending())
            return;
        Association association(handle, cameraId);
        if (!association.Read())
            continue;

        bool modified = false;
        for (const auto& [triggerId, trigger] : softTriggers) {
            if (trigger.cameraId != cameraId || association.Lists(triggerId))
                continue;
            association.Append(triggerId);
            modified = true;
            association.Store();
        }
        // A camera that gained entries is stored once more with the whole list.
        if (modified)
            association.Store();
    }
}

} // namespace korvel
