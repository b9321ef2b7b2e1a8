#pragma once

#include <cstdint>

namespace korvel {

// Raises the process's soft limit on open descriptors to its hard limit and
// returns the limit in force afterwards: 0 when it cannot be read, the
// largest value when there is none.
std::uint64_t RaiseDescriptorLimit();

} // namespace korvel
