#include "platform/ServicePlatform.h"

#include <mutex>

#include <syslog.h>

namespace korvel {

namespace {

// openlog keeps the identity pointer: the text must outlive every record.
std::mutex identityMutex;
std::string identity; // guarded by identityMutex

} // namespace

void WriteSystemLogRecord(const std::string& source, const std::string& text, EventType type)
{
    std::lock_guard<std::mutex> lock(identityMutex);
    if (identity != source || identity.empty()) {
        identity = source;
        ::openlog(identity.c_str(), LOG_PID, LOG_DAEMON);
    }
    ::syslog(type == EventType::Error ? LOG_ERR : LOG_INFO, "%s", text.c_str());
}

} // namespace korvel
