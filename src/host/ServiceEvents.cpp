#include "host/ServicePlatform.h"

#include <cstdio>

void LogErrorEvent(const std::string& source, const std::string& text, unsigned long code)
{
    char buffer[255];
    std::snprintf(buffer, sizeof buffer, "%s  Error code=0x%08lx", text.c_str(), code);
    LogEvent(source, buffer, EventType::Error);
}
