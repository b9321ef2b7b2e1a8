#include "platform/DescriptorLimit.h"

#include <limits>

#include <sys/resource.h>

namespace korvel {

std::uint64_t RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    // Service managers often start services with a low soft limit and a far
    // higher hard one, leaving it to the service to take what it needs.
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

} // namespace korvel
