#pragma once

// What the simulated NVR knows: logins, cameras, soft triggers, associations
// and event links. No I/O here; the servers call it on the I/O thread.

#include "tlapi/Protocol.h"
#include "tlapi/Records.h"

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>

namespace nvrsim {

using tlapi::Status;

struct Camera
{
    uint32_t id = 0;
    std::string address; // empty for an analog camera
    std::string name;
};

struct SoftTrigger
{
    uint32_t id = 0;
    std::string name;
    std::string guid;
};

class NvrModel
{
public:
    // Called after every change of cameras, soft triggers, associations or
    // event links (not for a store that leaves things as they were).
    std::function<void()> onChange;

    void SetUser(const std::string& name, const std::string& password);
    bool CheckLogin(const std::string& name, const std::string& password) const;

    Status SetCamera(uint32_t id, const std::string& address, const std::string& name);
    Status RenameCamera(uint32_t id, const std::string& name);
    std::size_t CameraCount() const { return cameras.size(); }
    const Camera* CameraAt(uint32_t index) const;
    const Camera* FindCamera(uint32_t id) const;

    // Soft triggers are numbered from 1 in order of creation.
    Status CreateTrigger(const std::string& name, const std::string& guid, uint32_t& id);
    std::size_t TriggerCount() const { return triggers.size(); }
    const SoftTrigger* TriggerAt(uint32_t index) const;
    const SoftTrigger* FindTrigger(uint32_t id) const;
    // A decimal id if one matches, else the first trigger with that GUID.
    const SoftTrigger* FindTriggerByText(const std::string& idOrGuid) const;

    const tlapi::AssociationData* FindAssociation(uint32_t cameraId) const;
    Status StoreAssociation(const tlapi::AssociationData& association);

    // Event links are numbered from 1; a new one uses the given soft trigger.
    Status CreateLink(uint32_t triggerId, uint32_t& id);
    std::size_t LinkCount() const { return links.size(); }
    const tlapi::EventLinkData* LinkAt(uint32_t index) const;
    const tlapi::EventLinkData* FindLink(uint32_t id) const;
    Status StoreLink(const tlapi::EventLinkData& link);

    // The state in the dump format (tools/nvrsim/README.md), without sessions.
    void Dump(std::ostream& out) const;

private:
    void Changed();

    std::map<std::string, std::string> users;
    std::map<uint32_t, Camera> cameras;
    std::map<uint32_t, SoftTrigger> triggers;
    std::map<uint32_t, tlapi::AssociationData> associations;
    std::map<uint32_t, tlapi::EventLinkData> links;
    uint32_t nextTriggerId = 1;
    uint32_t nextLinkId = 1;
};

// A text as the dump writes it: bare when it is non-empty printable ASCII
// without blanks, quotes or backslashes; otherwise in double quotes, with \"
// \\ and \xHH for other bytes.
std::string DumpText(const std::string& text);

} // namespace nvrsim
