#pragma once

#include <string_view>

namespace korvel {

// The page served at "/": one self-contained HTML document (no external
// assets) that reads /status every second and shows cameras, sessions and
// NVRs, with a banner while the service cannot be reached.
std::string_view StatusPageHtml();

} // namespace korvel
