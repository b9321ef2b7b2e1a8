#include "platform/DescriptorLimit.h"

#include <limits>

namespace korvel {

// Windows sets no per-process limit on sockets that a service could raise.
std::uint64_t RaiseDescriptorLimit()
{
    return std::numeric_limits<std::uint64_t>::max();
}

} // namespace korvel
