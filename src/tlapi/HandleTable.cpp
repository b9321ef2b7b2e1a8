#include "tlapi/HandleTable.h"

namespace tlapi {

HandleTable& HandleTable::Instance()
{
    static HandleTable table;
    return table;
}

TLAPI_HANDLE HandleTable::Add(std::shared_ptr<Session> session)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Skip 0 and handles still in use when the counter wraps.
    for (std::size_t tries = 0; tries < sessions.size() + 2; ++tries) {
        const TLAPI_HANDLE handle = nextHandle++;
        if (nextHandle == 0)
            nextHandle = 1;
        if (handle != 0 && sessions.emplace(handle, session).second)
            return handle;
    }
    return 0;
}

std::shared_ptr<Session> HandleTable::Find(TLAPI_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = sessions.find(handle);
    return found == sessions.end() ? nullptr : found->second;
}

std::shared_ptr<Session> HandleTable::Remove(TLAPI_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = sessions.find(handle);
    if (found == sessions.end())
        return nullptr;
    std::shared_ptr<Session> session = std::move(found->second);
    sessions.erase(found);
    return session;
}

} // namespace tlapi
