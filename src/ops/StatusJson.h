#pragma once

#include "ops/StatusSnapshot.h"

#include <string>

namespace korvel {

// The /status document: one JSON object (see docs/operations.md).
std::string RenderStatusJson(const StatusSnapshot& status);

} // namespace korvel
