// Session events reported by the library.
#include "nvr/NVRConnection.h"

#include "tlapi/tlapi.h"

#include <cstddef>
#include <cstring>

namespace korvel {

namespace {

// Offsets in the event record.
const std::size_t ConfirmedOffset = 9;
const std::size_t SoftTriggerIdOffset = 12;

bool Holds(const void* record, int recordLength, std::size_t offset, std::size_t size)
{
    return record && recordLength >= 0 && static_cast<std::size_t>(recordLength) >= offset + size;
}

} // namespace

int NVRConnection::EventCallback(int eventType, int code, const void* record, int recordLength,
                                 void* context)
{
    if (!context)
        return 0;
    // The library is C: nothing may unwind through it.
    try {
        static_cast<NVRConnection*>(context)->OnEvent(eventType, code, record, recordLength);
    } catch (...) {
    }
    return 0;
}

void NVRConnection::OnEvent(int eventType, int code, const void* record, int recordLength)
{
    const auto* bytes = static_cast<const unsigned char*>(record);
    switch (eventType) {
    case TLAPI_EVENT_OPENED:
        state = Opened;
        break;
    case TLAPI_EVENT_REFRESH_DUE:
        refreshRequested = true;
        break;
    case TLAPI_EVENT_SOFT_TRIGGER: {
        if (code == 0 || !Holds(record, recordLength, SoftTriggerIdOffset, sizeof(std::uint32_t)))
            break;
        std::uint32_t softTriggerId;
        std::memcpy(&softTriggerId, bytes + SoftTriggerIdOffset, sizeof softTriggerId);
        const auto trigger = softTriggers.find(softTriggerId);
        if (trigger != softTriggers.end() && sink.softTriggerFired)
            sink.softTriggerFired(trigger->second.camera);
        break;
    }
    case TLAPI_EVENT_TRIGGER_CREATED:
        if (Holds(record, recordLength, ConfirmedOffset, 1) && bytes[ConfirmedOffset] == 1)
            triggerAcknowledged = true;
        break;
    case TLAPI_EVENT_LOGIN:
        if (code == TLAPI_LOGIN_REFUSED)
            state = LoginRefused;
        else if (code == TLAPI_LOGIN_OK)
            state = LoggedIn;
        break;
    default:
        break;
    }
}

} // namespace korvel
