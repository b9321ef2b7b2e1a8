#include "NvrModel.h"

#include <cstdio>
#include <iterator>

namespace nvrsim {
namespace {

constexpr uint32_t SoftTriggerKind = 8;
constexpr uint32_t SoftTriggerSource = 1;
constexpr uint32_t DetachedSource = 0;
constexpr uint32_t SoftTriggerEvent = 10;

template <class Map>
const typename Map::mapped_type* At(const Map& map, uint32_t index)
{
    if (index >= map.size())
        return nullptr;
    return &std::next(map.begin(), index)->second;
}

template <class Map>
const typename Map::mapped_type* Find(const Map& map, uint32_t id)
{
    const auto found = map.find(id);
    return found == map.end() ? nullptr : &found->second;
}

bool StorableText(const std::string& text)
{
    return text.size() <= tlapi::MaxStoredText;
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

std::string DumpText(const std::string& text)
{
    bool bare = !text.empty();
    for (unsigned char c : text)
        bare = bare && c > ' ' && c < 0x7f && c != '"' && c != '\\';
    if (bare)
        return text;
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < ' ' || c >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

void NvrModel::Changed()
{
    if (onChange)
        onChange();
}

void NvrModel::SetUser(const std::string& name, const std::string& password)
{
    users[name] = password;
}

bool NvrModel::CheckLogin(const std::string& name, const std::string& password) const
{
    const auto found = users.find(name);
    return found != users.end() && found->second == password;
}

Status NvrModel::SetCamera(uint32_t id, const std::string& address, const std::string& name)
{
    if (id == 0 || !StorableText(address) || !StorableText(name))
        return Status::InvalidArgument;
    Camera& camera = cameras[id];
    if (camera.id == id && camera.address == address && camera.name == name)
        return Status::Ok;
    camera = Camera{id, address, name};
    Changed();
    return Status::Ok;
}

Status NvrModel::RenameCamera(uint32_t id, const std::string& name)
{
    const auto found = cameras.find(id);
    if (found == cameras.end())
        return Status::NotFound;
    if (!StorableText(name))
        return Status::InvalidArgument;
    if (found->second.name != name) {
        found->second.name = name;
        Changed();
    }
    return Status::Ok;
}

const Camera* NvrModel::CameraAt(uint32_t index) const
{
    return At(cameras, index);
}

const Camera* NvrModel::FindCamera(uint32_t id) const
{
    return Find(cameras, id);
}

Status NvrModel::CreateTrigger(const std::string& name, const std::string& guid, uint32_t& id)
{
    if (name.empty() || guid.empty() || !StorableText(name) || !StorableText(guid) ||
        nextTriggerId == 0)
        return Status::InvalidArgument;
    id = nextTriggerId++;
    triggers[id] = SoftTrigger{id, name, guid};
    Changed();
    return Status::Ok;
}

const SoftTrigger* NvrModel::TriggerAt(uint32_t index) const
{
    return At(triggers, index);
}

const SoftTrigger* NvrModel::FindTrigger(uint32_t id) const
{
    return Find(triggers, id);
}

const SoftTrigger* NvrModel::FindTriggerByText(const std::string& idOrGuid) const
{
    if (!idOrGuid.empty() && idOrGuid.size() <= 10 &&
        idOrGuid.find_first_not_of("0123456789") == std::string::npos) {
        const unsigned long long id = std::stoull(idOrGuid);
        if (id <= UINT32_MAX)
            if (const SoftTrigger* trigger = FindTrigger(static_cast<uint32_t>(id)))
                return trigger;
    }
    for (const auto& entry : triggers)
        if (entry.second.guid == idOrGuid)
            return &entry.second;
    return nullptr;
}

const tlapi::AssociationData* NvrModel::FindAssociation(uint32_t cameraId) const
{
    return Find(associations, cameraId);
}

Status NvrModel::StoreAssociation(const tlapi::AssociationData& association)
{
    if (association.cameraId == 0 || association.name.empty() || !StorableText(association.name) ||
        !StorableText(association.font) ||
        association.entries.size() > tlapi::MaxAssociationEntries)
        return Status::InvalidArgument;
    for (const tlapi::AssociationEntryData& entry : association.entries)
        if (entry.kind == SoftTriggerKind && !FindTrigger(entry.softTriggerId))
            return Status::NotFound;
    tlapi::AssociationData& stored = associations[association.cameraId];
    if (stored == association)
        return Status::Ok;
    stored = association;
    Changed();
    return Status::Ok;
}

Status NvrModel::CreateLink(uint32_t triggerId, uint32_t& id)
{
    if (!FindTrigger(triggerId))
        return Status::NotFound;
    if (nextLinkId == 0)
        return Status::InvalidArgument;
    id = nextLinkId++;
    tlapi::EventLinkData& link = links[id];
    link.id = id;
    link.eventType = SoftTriggerEvent;
    link.actionType = 1;
    link.sourceType = SoftTriggerSource;
    link.softTriggerId = triggerId;
    link.name = "User link " + std::to_string(id);
    Changed();
    return Status::Ok;
}

const tlapi::EventLinkData* NvrModel::LinkAt(uint32_t index) const
{
    return At(links, index);
}

const tlapi::EventLinkData* NvrModel::FindLink(uint32_t id) const
{
    return Find(links, id);
}

Status NvrModel::StoreLink(const tlapi::EventLinkData& link)
{
    const auto found = links.find(link.id);
    if (found == links.end())
        return Status::NotFound;
    if (link.name.size() > tlapi::MaxLinkName)
        return Status::InvalidArgument;
    tlapi::EventLinkData stored = link;
    if (link.sourceType == DetachedSource)
        stored.softTriggerId = 0;
    else if (link.sourceType != SoftTriggerSource)
        return Status::InvalidArgument;
    else if (!FindTrigger(link.softTriggerId))
        return Status::NotFound;
    if (found->second == stored)
        return Status::Ok;
    found->second = stored;
    Changed();
    return Status::Ok;
}

void NvrModel::Dump(std::ostream& out) const
{
    for (const auto& entry : cameras) {
        const Camera& c = entry.second;
        out << "camera " << c.id << " address=" << DumpText(c.address)
            << " name=" << DumpText(c.name) << "\n";
    }
    for (const auto& entry : users)
        out << "user " << DumpText(entry.first) << "\n";
    for (const auto& entry : triggers) {
        const SoftTrigger& t = entry.second;
        out << "trigger " << t.id << " name=" << DumpText(t.name) << " guid=" << DumpText(t.guid)
            << "\n";
    }
    for (const auto& entry : associations) {
        const tlapi::AssociationData& a = entry.second;
        out << "association camera=" << a.cameraId << " name=" << DumpText(a.name)
            << " displayMode=" << a.displayMode << " displayWidth=" << a.displayWidth
            << " textColour=" << Hex(a.textColour) << " options=" << a.options
            << " active=" << a.active << " font=" << DumpText(a.font) << " fontSize=" << a.fontSize
            << " markerColour=" << Hex(a.markerColour) << " markerSize=" << a.markerSize
            << " markerX=" << a.markerX << " markerY=" << a.markerY
            << " entries=" << a.entries.size() << "\n";
        std::size_t number = 0;
        for (const tlapi::AssociationEntryData& e : a.entries)
            out << "  entry " << ++number << " position=" << e.position << " kind=" << e.kind
                << " trigger=" << e.softTriggerId << " action=" << e.action << "\n";
    }
    for (const auto& entry : links) {
        const tlapi::EventLinkData& l = entry.second;
        out << "link " << l.id << " trigger=" << l.softTriggerId << " source=" << l.sourceType
            << " event=" << l.eventType << " action=" << l.actionType
            << " target=" << l.actionTarget << " schedule=" << l.schedule
            << " options=" << l.options << " name=" << DumpText(l.name) << "\n";
    }
}

} // namespace nvrsim
