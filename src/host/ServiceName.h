#pragma once

#include <string>

namespace korvel {

// Name of the service: its registration, its system-log identity and the
// name shown in console texts.
extern const std::string ServiceName;

} // namespace korvel
