#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// The key of an IP camera: the first four groups of decimal digits joined by
// single dots in its device address, each group as long as it runs
// ("rtsp://10.0.0.5:554/x" gives "10.0.0.5", "10.0.0.22.5" gives
// "10.0.0.22"). None when the address holds no such run.
std::optional<std::string> DottedAddressIn(std::string_view deviceAddress);

} // namespace korvel
