#pragma once

// The association and event link as they travel on the wire, independent of
// the C records (whose pointers and sizes belong to the caller's build).

#include "tlapi/Codec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tlapi {

struct AssociationEntryData
{
    uint32_t position = 0;
    uint32_t kind = 0;
    uint32_t softTriggerId = 0;
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
    uint32_t reserved3 = 0;
    uint32_t action = 0;

    bool operator==(const AssociationEntryData& other) const;
};

struct AssociationData
{
    uint32_t cameraId = 0;
    std::string name;
    uint32_t displayMode = 0;
    uint16_t displayWidth = 0;
    uint16_t reserved16 = 0;
    uint32_t textColour = 0;
    uint32_t options = 0;
    uint32_t active = 0;
    std::string font;
    uint32_t reserved = 0;
    uint32_t fontSize = 0;
    uint32_t markerColour = 0;
    uint32_t markerSize = 0;
    uint32_t markerX = 0;
    uint32_t markerY = 0;
    std::vector<AssociationEntryData> entries;

    bool operator==(const AssociationData& other) const;
};

struct EventLinkData
{
    uint32_t id = 0;
    uint32_t eventType = 0;
    uint32_t actionType = 0;
    uint32_t actionTarget = 0;
    uint32_t schedule = 0;
    uint32_t options = 0;
    uint32_t sourceType = 0;
    uint32_t softTriggerId = 0;
    std::string name;

    bool operator==(const EventLinkData& other) const;
};

// What an event frame carries after its header (the event type travels in
// the header's code, the sequence number in its tag).
struct EventData
{
    uint32_t code = 0;
    uint8_t category = 0;
    uint8_t confirmed = 0;
    uint32_t objectId = 0;
    uint32_t detail = 0;
};

void WriteEvent(PayloadWriter& writer, const EventData& event);
bool ReadEvent(PayloadReader& reader, EventData& event);

void WriteAssociation(PayloadWriter& writer, const AssociationData& association);
// False for a short payload or more than MaxAssociationEntries entries.
bool ReadAssociation(PayloadReader& reader, AssociationData& association);

void WriteEventLink(PayloadWriter& writer, const EventLinkData& link);
bool ReadEventLink(PayloadReader& reader, EventLinkData& link);

} // namespace tlapi
