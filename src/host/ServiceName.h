#pragma once

#include <string>

// Name of the service: its registration, its system-log identity and the
// name shown in console texts.
extern const std::string ServiceName;
