#pragma once

// The process-wide table of library sessions by handle. Handles count up from
// 1 and are not handed out again while in use; 0 is never a handle.

#include "tlapi/Session.h"

#include <map>
#include <memory>
#include <mutex>

namespace tlapi {

class HandleTable
{
public:
    static HandleTable& Instance();

    // 0 when every handle is in use.
    TLAPI_HANDLE Add(std::shared_ptr<Session> session);
    // Null for 0 and for handles that are not (or no longer) in the table.
    // The session stays alive while the caller holds it, even if removed.
    std::shared_ptr<Session> Find(TLAPI_HANDLE handle);
    std::shared_ptr<Session> Remove(TLAPI_HANDLE handle);

private:
    std::mutex mutex;
    std::map<TLAPI_HANDLE, std::shared_ptr<Session>> sessions;
    TLAPI_HANDLE nextHandle = 1;
};

} // namespace tlapi
