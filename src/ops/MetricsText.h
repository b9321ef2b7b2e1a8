#pragma once

#include "ops/StatusSnapshot.h"
#include "platform/ProcessFigures.h"

#include <string>

namespace korvel {

// The /metrics document in the Prometheus text format 0.0.4: the service's
// figures under the prefix "tlkorvel_" and the standard process figures.
std::string RenderMetrics(const StatusSnapshot& status, const ProcessFigures& process);

} // namespace korvel
