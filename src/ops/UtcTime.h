#pragma once

#include <chrono>
#include <string>

namespace korvel {

// ISO 8601 in UTC: "2026-12-08T09:13:02Z", or with milliseconds
// "2026-12-08T09:13:02.417Z".
std::string FormatUtc(std::chrono::system_clock::time_point when, bool milliseconds);

} // namespace korvel
