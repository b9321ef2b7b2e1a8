#include "ops/UtcTime.h"

#include <cstdio>

namespace korvel {

std::string FormatUtc(std::chrono::system_clock::time_point when, bool milliseconds)
{
    using namespace std::chrono;
    const auto millis = floor<std::chrono::milliseconds>(when);
    const auto day = floor<days>(millis);
    const year_month_day date(day);
    const hh_mm_ss time(millis - day);
    char text[40];
    const int length = std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()));
    std::string result(text, static_cast<std::size_t>(length));
    if (milliseconds) {
        std::snprintf(text, sizeof text, ".%03d", static_cast<int>(time.subseconds().count()));
        result += text;
    }
    return result + "Z";
}

} // namespace korvel
