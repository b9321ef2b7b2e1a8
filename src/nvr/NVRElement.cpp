#include "nvr/NVRConnection.h"

#include <tinyxml2.h>

// Placeholder until the configuration loader lands.
bool NVRConnection::LoadFromElement(const tinyxml2::XMLElement& element)
{
    if (const char* value = element.Attribute("Address"); value && *value)
        address = value;
    return true;
}
