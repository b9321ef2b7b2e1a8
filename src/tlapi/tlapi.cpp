// The C functions: argument checks, record marshalling, and one request to
// the NVR each through the session of the handle.

#include "tlapi/tlapi.h"

#include "tlapi/HandleTable.h"
#include "tlapi/Records.h"
#include "tlapi/Session.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

static_assert(sizeof(TLAPI_ASSOCIATION_ENTRY) == 32, "association entries are 32 bytes");
static_assert(sizeof(TLAPI_EVENT_LINK) == 240, "event link records are 240 bytes");
static_assert(offsetof(TLAPI_EVENT_LINK, sourceType) == 28, "source type at offset 28");
static_assert(offsetof(TLAPI_EVENT_LINK, softTriggerId) == 32, "trigger id at offset 32");
static_assert(offsetof(TLAPI_EVENT_LINK, name) + sizeof(TLAPI_EVENT_LINK::name) == 100,
              "name ends at 100");
static_assert(offsetof(TLAPI_EVENT_RECORD, confirmed) == 9, "confirmation at offset 9");
static_assert(offsetof(TLAPI_EVENT_RECORD, objectId) == 12, "trigger id at offset 12");
static_assert(sizeof(TLAPI_EVENT_RECORD) == 20, "event records are 20 bytes");

using namespace tlapi;

namespace {

constexpr int CallFailed = -1;

std::shared_ptr<Session> Find(TLAPI_HANDLE handle)
{
    return HandleTable::Instance().Find(handle);
}

// Caller text that must end within capacity bytes; false when it does not.
bool ReadCallerText(const char* text, std::size_t capacity, std::string& out)
{
    if (!text)
        return false;
    const std::size_t length = ::strnlen(text, capacity);
    if (length == capacity)
        return false;
    out.assign(text, length);
    return true;
}

// Copies up to the first NUL of text into a zeroed buffer, cut to fit.
void CopyText(const std::string& text, char* buffer, std::size_t size)
{
    std::memset(buffer, 0, size);
    const std::size_t length = std::min(::strnlen(text.data(), text.size()), size - 1);
    std::memcpy(buffer, text.data(), length);
}

int StatusResult(uint32_t status)
{
    return static_cast<int>(std::min<uint32_t>(status, 0x7fffffff));
}

// A request whose reply carries nothing but its status: 0, refusal or -1.
int SimpleCall(TLAPI_HANDLE handle, Operation operation, const PayloadWriter& request)
{
    const auto session = Find(handle);
    Reply reply;
    if (!session || !session->Call(operation, request, reply))
        return CallFailed;
    return StatusResult(reply.status);
}

// A request answered with one 32-bit number; 0 on any failure.
uint32_t NumberCall(TLAPI_HANDLE handle, Operation operation, const PayloadWriter& request)
{
    const auto session = Find(handle);
    Reply reply;
    if (!session || !session->Call(operation, request, reply) ||
        reply.status != static_cast<uint32_t>(Status::Ok))
        return 0;
    PayloadReader reader(reply.results);
    const uint32_t value = reader.U32();
    if (!reader.Ok()) {
        session->Abandon(std::string("bad data from the NVR: short reply to ") +
                         OperationName(static_cast<uint16_t>(operation)));
        return 0;
    }
    return value;
}

uint32_t CountCall(TLAPI_HANDLE handle, Operation operation)
{
    return NumberCall(handle, operation, PayloadWriter());
}

uint32_t IdCall(TLAPI_HANDLE handle, Operation operation, uint32_t index)
{
    PayloadWriter request;
    request.U32(index);
    return NumberCall(handle, operation, request);
}

// A request for the text of an object: fills the caller's buffer.
int TextCall(TLAPI_HANDLE handle, Operation operation, uint32_t id, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return CallFailed;
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    const auto session = Find(handle);
    if (!session)
        return CallFailed;
    PayloadWriter request;
    request.U32(id);
    Reply reply;
    if (!session->Call(operation, request, reply))
        return CallFailed;
    if (reply.status != static_cast<uint32_t>(Status::Ok))
        return StatusResult(reply.status);
    PayloadReader reader(reply.results);
    const std::string text = reader.Text();
    if (!reader.Ok()) {
        session->Abandon(std::string("bad data from the NVR: short reply to ") +
                         OperationName(static_cast<uint16_t>(operation)));
        return CallFailed;
    }
    CopyText(text, buffer, static_cast<std::size_t>(size));
    return 0;
}

bool EntriesWellFormed(const TLAPI_ASSOCIATION_ENTRY* entries, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        if (entries[i].size != sizeof(TLAPI_ASSOCIATION_ENTRY))
            return false;
    return true;
}

void ClearAssociation(TLAPI_ASSOCIATION* a, uint32_t cameraId)
{
    if (a->name)
        std::memset(a->name, 0, TLAPI_TEXT_BUFFER_SIZE);
    if (a->font)
        std::memset(a->font, 0, TLAPI_TEXT_BUFFER_SIZE);
    a->nameLength = 0;
    a->cameraId = cameraId;
    a->displayMode = 0;
    a->displayWidth = 0;
    a->reserved16 = 0;
    a->textColour = 0;
    a->options = 0;
    a->active = 0;
    a->reserved = 0;
    a->fontSize = 0;
    a->markerColour = 0;
    a->markerSize = 0;
    a->markerX = 0;
    a->markerY = 0;
    a->entryCount = 0;
}

void FillAssociation(const AssociationData& data, TLAPI_ASSOCIATION* a)
{
    const uint32_t capacity = a->entries ? a->entryCount : 0;
    ClearAssociation(a, data.cameraId);
    if (a->name)
        CopyText(data.name, a->name, TLAPI_TEXT_BUFFER_SIZE);
    const std::size_t nameLength = std::min<std::size_t>(
        ::strnlen(data.name.data(), data.name.size()), TLAPI_TEXT_BUFFER_SIZE - 1);
    a->nameLength = static_cast<uint32_t>(nameLength + 1);
    a->displayMode = data.displayMode;
    a->displayWidth = data.displayWidth;
    a->reserved16 = data.reserved16;
    a->textColour = data.textColour;
    a->options = data.options;
    a->active = data.active;
    if (a->font)
        CopyText(data.font, a->font, TLAPI_TEXT_BUFFER_SIZE);
    a->reserved = data.reserved;
    a->fontSize = data.fontSize;
    a->markerColour = data.markerColour;
    a->markerSize = data.markerSize;
    a->markerX = data.markerX;
    a->markerY = data.markerY;
    const std::size_t filled = std::min<std::size_t>(capacity, data.entries.size());
    for (std::size_t i = 0; i < filled; ++i) {
        const AssociationEntryData& from = data.entries[i];
        TLAPI_ASSOCIATION_ENTRY& to = a->entries[i];
        to.size = sizeof to;
        to.position = from.position;
        to.kind = from.kind;
        to.softTriggerId = from.softTriggerId;
        to.reserved1 = from.reserved1;
        to.reserved2 = from.reserved2;
        to.reserved3 = from.reserved3;
        to.action = from.action;
    }
    a->entryCount = static_cast<uint32_t>(data.entries.size());
}

} // namespace

extern "C" {

TLAPI_HANDLE TLAPI_Init(void)
{
    try {
        return HandleTable::Instance().Add(std::make_shared<Session>());
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int TLAPI_SetCallbackEx(TLAPI_HANDLE handle, TLAPI_CALLBACK callback, void* context)
{
    const auto session = Find(handle);
    if (!session)
        return CallFailed;
    session->SetCallback(callback, context);
    return 0;
}

int TLAPI_Open(TLAPI_HANDLE handle, const char* address, int port)
{
    const auto session = Find(handle);
    std::string host;
    if (!session || !ReadCallerText(address, MaxTextLength + 1, host))
        return CallFailed;
    return session->Open(host, port);
}

int TLAPI_SetTimeout(TLAPI_HANDLE handle, int seconds)
{
    const auto session = Find(handle);
    if (!session)
        return CallFailed;
    session->SetTimeout(seconds);
    return 0;
}

int TLAPI_Select(TLAPI_HANDLE handle, int milliseconds)
{
    const auto session = Find(handle);
    return session ? session->Select(milliseconds) : CallFailed;
}

int TLAPI_Discover(TLAPI_HANDLE handle)
{
    return SimpleCall(handle, Operation::Discover, PayloadWriter());
}

int TLAPI_Login(TLAPI_HANDLE handle, const char* user, const char* password)
{
    const auto session = Find(handle);
    std::string userText;
    std::string passwordText;
    if (!session || !ReadCallerText(user, MaxTextLength + 1, userText) ||
        !ReadCallerText(password, MaxTextLength + 1, passwordText))
        return CallFailed;
    return session->Login(userText, passwordText);
}

int TLAPI_GetSocket(TLAPI_HANDLE handle)
{
    const auto session = Find(handle);
    return session ? session->GetSocket() : -1;
}

int TLAPI_Close(TLAPI_HANDLE handle)
{
    const auto session = Find(handle);
    if (!session)
        return CallFailed;
    session->Close();
    return 0;
}

int TLAPI_Cleanup(TLAPI_HANDLE handle)
{
    const auto session = HandleTable::Instance().Remove(handle);
    if (!session)
        return CallFailed;
    session->Close();
    return 0;
}

uint32_t TLAPI_NumCameras(TLAPI_HANDLE handle)
{
    return CountCall(handle, Operation::CameraCount);
}

uint32_t TLAPI_GetCameraId(TLAPI_HANDLE handle, uint32_t index)
{
    return IdCall(handle, Operation::CameraId, index);
}

int TLAPI_GetDeviceIP(TLAPI_HANDLE handle, uint32_t cameraId, char* buffer, int size)
{
    return TextCall(handle, Operation::CameraAddress, cameraId, buffer, size);
}

int TLAPI_GetCameraName(TLAPI_HANDLE handle, uint32_t cameraId, char* buffer, int size)
{
    return TextCall(handle, Operation::CameraName, cameraId, buffer, size);
}

uint32_t TLAPI_NumSoftTriggers(TLAPI_HANDLE handle)
{
    return CountCall(handle, Operation::TriggerCount);
}

uint32_t TLAPI_GetSoftTriggerId(TLAPI_HANDLE handle, uint32_t index)
{
    return IdCall(handle, Operation::TriggerId, index);
}

int TLAPI_GetSoftTriggerGuid(TLAPI_HANDLE handle, uint32_t softTriggerId, char* buffer, int size)
{
    return TextCall(handle, Operation::TriggerGuid, softTriggerId, buffer, size);
}

int TLAPI_CreateSoftTriggerWithGuid(TLAPI_HANDLE handle, const char* name, const char* guid)
{
    std::string nameText;
    std::string guidText;
    if (!ReadCallerText(name, MaxTextLength + 1, nameText) ||
        !ReadCallerText(guid, MaxTextLength + 1, guidText))
        return CallFailed;
    PayloadWriter request;
    request.Text(nameText).Text(guidText);
    return SimpleCall(handle, Operation::TriggerCreate, request);
}

int TLAPI_GetAssociationForCamera(TLAPI_HANDLE handle, uint32_t cameraId,
                                  TLAPI_ASSOCIATION* association)
{
    if (!association || association->size != sizeof(TLAPI_ASSOCIATION))
        return CallFailed;
    if (association->entries && !EntriesWellFormed(association->entries, association->entryCount))
        return CallFailed;
    const auto session = Find(handle);
    if (!session)
        return CallFailed;
    PayloadWriter request;
    request.U32(cameraId);
    Reply reply;
    if (!session->Call(Operation::AssociationGet, request, reply))
        return CallFailed;
    if (reply.status == static_cast<uint32_t>(Status::NotFound)) {
        ClearAssociation(association, cameraId);
        return 0;
    }
    if (reply.status != static_cast<uint32_t>(Status::Ok))
        return StatusResult(reply.status);
    PayloadReader reader(reply.results);
    AssociationData data;
    if (!ReadAssociation(reader, data)) {
        session->Abandon("bad data from the NVR: malformed association");
        return CallFailed;
    }
    FillAssociation(data, association);
    return 0;
}

int TLAPI_UpdateAssociation(TLAPI_HANDLE handle, TLAPI_ASSOCIATION* association)
{
    if (!association || association->size != sizeof(TLAPI_ASSOCIATION))
        return CallFailed;
    const TLAPI_ASSOCIATION& a = *association;
    AssociationData data;
    if (!ReadCallerText(a.name, TLAPI_TEXT_BUFFER_SIZE, data.name))
        return CallFailed;
    if (a.font && !ReadCallerText(a.font, TLAPI_TEXT_BUFFER_SIZE, data.font))
        return CallFailed;
    if (a.entryCount > TLAPI_MAX_ASSOCIATION_ENTRIES || (a.entryCount > 0 && !a.entries) ||
        (a.entries && !EntriesWellFormed(a.entries, a.entryCount)))
        return CallFailed;
    data.cameraId = a.cameraId;
    data.displayMode = a.displayMode;
    data.displayWidth = a.displayWidth;
    data.reserved16 = a.reserved16;
    data.textColour = a.textColour;
    data.options = a.options;
    data.active = a.active;
    data.reserved = a.reserved;
    data.fontSize = a.fontSize;
    data.markerColour = a.markerColour;
    data.markerSize = a.markerSize;
    data.markerX = a.markerX;
    data.markerY = a.markerY;
    for (uint32_t i = 0; i < a.entryCount; ++i) {
        const TLAPI_ASSOCIATION_ENTRY& from = a.entries[i];
        data.entries.push_back(AssociationEntryData{from.position, from.kind, from.softTriggerId,
                                                    from.reserved1, from.reserved2, from.reserved3,
                                                    from.action});
    }
    PayloadWriter request;
    WriteAssociation(request, data);
    return SimpleCall(handle, Operation::AssociationUpdate, request);
}

uint32_t TLAPI_NumEventLinks(TLAPI_HANDLE handle)
{
    return CountCall(handle, Operation::LinkCount);
}

uint32_t TLAPI_GetEventLinkId(TLAPI_HANDLE handle, uint32_t index)
{
    return IdCall(handle, Operation::LinkId, index);
}

int TLAPI_GetEventLinkInfo(TLAPI_HANDLE handle, TLAPI_EVENT_LINK* link)
{
    if (!link || link->size != sizeof(TLAPI_EVENT_LINK))
        return CallFailed;
    const auto session = Find(handle);
    if (!session)
        return CallFailed;
    PayloadWriter request;
    request.U32(link->id);
    Reply reply;
    if (!session->Call(Operation::LinkGet, request, reply))
        return CallFailed;
    if (reply.status != static_cast<uint32_t>(Status::Ok))
        return -StatusResult(reply.status);
    PayloadReader reader(reply.results);
    EventLinkData data;
    if (!ReadEventLink(reader, data)) {
        session->Abandon("bad data from the NVR: malformed event link");
        return CallFailed;
    }
    link->id = data.id;
    link->eventType = data.eventType;
    link->actionType = data.actionType;
    link->actionTarget = data.actionTarget;
    link->schedule = data.schedule;
    link->options = data.options;
    link->sourceType = data.sourceType;
    link->softTriggerId = data.softTriggerId;
    CopyText(data.name, link->name, sizeof link->name);
    return 0;
}

int TLAPI_UpdateEventLink(TLAPI_HANDLE handle, TLAPI_EVENT_LINK* link)
{
    if (!link || link->size != sizeof(TLAPI_EVENT_LINK))
        return CallFailed;
    EventLinkData data;
    if (!ReadCallerText(link->name, sizeof link->name, data.name))
        return CallFailed;
    data.id = link->id;
    data.eventType = link->eventType;
    data.actionType = link->actionType;
    data.actionTarget = link->actionTarget;
    data.schedule = link->schedule;
    data.options = link->options;
    data.sourceType = link->sourceType;
    data.softTriggerId = link->softTriggerId;
    PayloadWriter request;
    WriteEventLink(request, data);
    return SimpleCall(handle, Operation::LinkUpdate, request);
}

int TLAPI_GetLastError(TLAPI_HANDLE handle, char* buffer, int size)
{
    const auto session = Find(handle);
    if (!session || !buffer || size <= 0)
        return CallFailed;
    CopyText(session->LastError(), buffer, static_cast<std::size_t>(size));
    return 0;
}

} // extern "C"
