#include "platform/ServicePlatform.h"

#include <windows.h>

namespace korvel {

// One record in the Application log: category 0, event identifier 0, no
// user, the source name and the text as its two strings, no binary data. The
// message file registered with the source at install (EventMessages.rc)
// shows the text.
void WriteSystemLogRecord(const std::string& source, const std::string& text, EventType type)
{
    HANDLE eventSource = ::RegisterEventSourceA(nullptr, source.c_str());
    if (eventSource == nullptr)
        return;
    const char* strings[2] = {source.c_str(), text.c_str()};
    ::ReportEventA(eventSource, static_cast<WORD>(type), 0, 0, nullptr, 2, 0, strings, nullptr);
    ::DeregisterEventSource(eventSource);
}

} // namespace korvel
