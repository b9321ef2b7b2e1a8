#pragma once

#include <string>

namespace korvel {

// Text that a remote peer controls, made safe for a log line: control
// characters are written as \xNN so that no peer can split or forge lines.
std::string LogSafe(const std::string& text);
std::string LogSafe(const char* data, std::size_t length);

} // namespace korvel
