#pragma once

#include <cstdint>

namespace korvel {

// Nanoseconds on the wall clock: the clock the kernel stamps received
// packets with, so a send time taken here and a receive stamp compare.
std::int64_t WallNanos();

} // namespace korvel
