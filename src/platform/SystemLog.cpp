#include "platform/ServicePlatform.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace korvel {

namespace {

std::mutex sinkMutex;
EventSink eventSink; // guarded by sinkMutex

const char* TypeName(EventType type)
{
    return type == EventType::Error ? "error" : "information";
}

// Test and packaging runs read the service's events from a file of their
// choosing rather than from the machine's system log.
const char* EventFilePath()
{
    static const char* const path = [] {
        const char* value = std::getenv("TLKORVEL_EVENT_LOG");
        return value && *value ? value : nullptr;
    }();
    return path;
}

// Called with sinkMutex held, so that records from different threads stay whole.
void AppendToEventFile(const char* path, const std::string& text, EventType type)
{
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr)
        return;
    std::fprintf(file, "%s %s\n", TypeName(type), text.c_str());
    std::fclose(file);
}

} // namespace

void SetEventSink(EventSink sink)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    eventSink = std::move(sink);
}

void LogEvent(const std::string& source, const std::string& text, EventType type)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (eventSink)
        eventSink(type, source, text);
    else if (const char* path = EventFilePath())
        AppendToEventFile(path, text, type);
    else
        WriteSystemLogRecord(source, text, type);
}

void LogErrorEvent(const std::string& source, const std::string& text, unsigned long code)
{
    char buffer[255];
    std::snprintf(buffer, sizeof buffer, "%s  Error code=0x%08lx", text.c_str(), code);
    LogEvent(source, buffer, EventType::Error);
}

} // namespace korvel
