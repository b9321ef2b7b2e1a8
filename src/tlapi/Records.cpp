#include "tlapi/Records.h"

#include <tuple>

namespace tlapi {
namespace {

auto Fields(const AssociationEntryData& e)
{
    return std::tie(e.position, e.kind, e.softTriggerId, e.reserved1, e.reserved2, e.reserved3,
                    e.action);
}

auto Fields(const AssociationData& a)
{
    return std::tie(a.cameraId, a.name, a.displayMode, a.displayWidth, a.reserved16, a.textColour,
                    a.options, a.active, a.font, a.reserved, a.fontSize, a.markerColour,
                    a.markerSize, a.markerX, a.markerY, a.entries);
}

auto Fields(const EventLinkData& l)
{
    return std::tie(l.id, l.eventType, l.actionType, l.actionTarget, l.schedule, l.options,
                    l.sourceType, l.softTriggerId, l.name);
}

} // namespace

bool AssociationEntryData::operator==(const AssociationEntryData& other) const
{
    return Fields(*this) == Fields(other);
}

bool AssociationData::operator==(const AssociationData& other) const
{
    return Fields(*this) == Fields(other);
}

bool EventLinkData::operator==(const EventLinkData& other) const
{
    return Fields(*this) == Fields(other);
}

void WriteEvent(PayloadWriter& writer, const EventData& event)
{
    writer.U32(event.code)
        .U8(event.category)
        .U8(event.confirmed)
        .U32(event.objectId)
        .U32(event.detail);
}

bool ReadEvent(PayloadReader& reader, EventData& event)
{
    event.code = reader.U32();
    event.category = reader.U8();
    event.confirmed = reader.U8();
    event.objectId = reader.U32();
    event.detail = reader.U32();
    return reader.Ok();
}

void WriteAssociation(PayloadWriter& writer, const AssociationData& a)
{
    writer.U32(a.cameraId)
        .Text(a.name)
        .U32(a.displayMode)
        .U16(a.displayWidth)
        .U16(a.reserved16)
        .U32(a.textColour)
        .U32(a.options)
        .U32(a.active)
        .Text(a.font)
        .U32(a.reserved)
        .U32(a.fontSize)
        .U32(a.markerColour)
        .U32(a.markerSize)
        .U32(a.markerX)
        .U32(a.markerY)
        .U32(static_cast<uint32_t>(a.entries.size()));
    for (const AssociationEntryData& e : a.entries)
        writer.U32(e.position)
            .U32(e.kind)
            .U32(e.softTriggerId)
            .U32(e.reserved1)
            .U32(e.reserved2)
            .U32(e.reserved3)
            .U32(e.action);
}

bool ReadAssociation(PayloadReader& reader, AssociationData& a)
{
    a.cameraId = reader.U32();
    a.name = reader.Text();
    a.displayMode = reader.U32();
    a.displayWidth = reader.U16();
    a.reserved16 = reader.U16();
    a.textColour = reader.U32();
    a.options = reader.U32();
    a.active = reader.U32();
    a.font = reader.Text();
    a.reserved = reader.U32();
    a.fontSize = reader.U32();
    a.markerColour = reader.U32();
    a.markerSize = reader.U32();
    a.markerX = reader.U32();
    a.markerY = reader.U32();
    const uint32_t count = reader.U32();
    if (!reader.Ok() || count > MaxAssociationEntries)
        return false;
    a.entries.assign(count, AssociationEntryData());
    for (AssociationEntryData& e : a.entries) {
        e.position = reader.U32();
        e.kind = reader.U32();
        e.softTriggerId = reader.U32();
        e.reserved1 = reader.U32();
        e.reserved2 = reader.U32();
        e.reserved3 = reader.U32();
        e.action = reader.U32();
    }
    return reader.Ok();
}

void WriteEventLink(PayloadWriter& writer, const EventLinkData& l)
{
    writer.U32(l.id)
        .U32(l.eventType)
        .U32(l.actionType)
        .U32(l.actionTarget)
        .U32(l.schedule)
        .U32(l.options)
        .U32(l.sourceType)
        .U32(l.softTriggerId)
        .Text(l.name);
}

bool ReadEventLink(PayloadReader& reader, EventLinkData& l)
{
    l.id = reader.U32();
    l.eventType = reader.U32();
    l.actionType = reader.U32();
    l.actionTarget = reader.U32();
    l.schedule = reader.U32();
    l.options = reader.U32();
    l.sourceType = reader.U32();
    l.softTriggerId = reader.U32();
    l.name = reader.Text();
    return reader.Ok();
}

} // namespace tlapi
