#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Appends the text as a JSON string, quotes included. Bytes that are not
// valid UTF-8 (texts here are 8-bit and come from configuration files,
// operators and NVRs) become U+FFFD (ValidUtf8, as in the metrics' labels),
// so the document always parses.
void AppendJsonString(std::string& out, std::string_view text);

// A JSON string, or null when there is no text.
void AppendJsonOrNull(std::string& out, const std::optional<std::string>& text);

} // namespace korvel
