#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel {

// Text that a remote peer controls, as a log line shows it: the one rule of
// text/OutsideText.h (control characters and bytes that are not UTF-8 as
// \xNN). The log applies that rule to every line as it writes it; calling
// this at the place where a peer's text goes in says so to the reader.
std::string LogSafe(std::string_view text);
std::string LogSafe(const char* data, std::size_t length);

} // namespace korvel
