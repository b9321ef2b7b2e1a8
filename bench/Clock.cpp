#include "Clock.h"

#include <time.h>

namespace korvel {

std::int64_t WallNanos()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace korvel
