#include "nvr/DeviceAddress.h"

namespace korvel {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Where the digits starting at `at` end; `at` itself when there are none.
std::size_t EndOfDigits(std::string_view text, std::size_t at)
{
    while (at < text.size() && IsDigit(text[at]))
        ++at;
    return at;
}

// The end of four dotted groups starting at `start`, or npos.
std::size_t EndOfFourGroups(std::string_view text, std::size_t start)
{
    std::size_t at = start;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (at >= text.size() || text[at] != '.')
                return std::string_view::npos;
            ++at;
        }
        const std::size_t end = EndOfDigits(text, at);
        if (end == at)
            return std::string_view::npos;
        at = end;
    }
    return at;
}

} // namespace

std::optional<std::string> DottedAddressIn(std::string_view deviceAddress)
{
    // A match cannot start inside a group of digits where one starting at
    // the group's first digit fails: what follows the group is the same.
    for (std::size_t start = 0; start < deviceAddress.size(); ++start) {
        if (!IsDigit(deviceAddress[start]) || (start > 0 && IsDigit(deviceAddress[start - 1])))
            continue;
        const std::size_t end = EndOfFourGroups(deviceAddress, start);
        if (end != std::string_view::npos)
            return std::string(deviceAddress.substr(start, end - start));
    }
    return std::nullopt;
}

} // namespace korvel
