// Event links that users attached to our soft triggers are detached again.
#include "nvr/NVRConnection.h"

#include "log/LogFile.h"
#include "tlapi/tlapi.h"

namespace korvel {

void NVRConnection::RemoveForeignEventLinks()
{
    // The NVR numbers its soft triggers itself, and the same track camera
    // has a different trigger on each NVR: only the ids this connection
    // scanned tell which links use a trigger of ours here.
    const std::uint32_t count = TLAPI_NumEventLinks(handle);
    for (std::uint32_t index = 0; index < count && !Ending(); ++index) {
        TLAPI_EVENT_LINK link{};
        link.size = sizeof link;
        link.id = TLAPI_GetEventLinkId(handle, index);
        if (link.id == 0 || TLAPI_GetEventLinkInfo(handle, &link) < 0)
            continue;
        if (softTriggers.count(link.softTriggerId) == 0)
            continue;
        link.sourceType = 0;
        if (TLAPI_UpdateEventLink(handle, &link) == 0)
            LogFile.BeginLine()
                << "Removed user-assigned event link trying to use Korvel soft trigger "
                << link.softTriggerId << std::endl;
    }
}

} // namespace korvel
