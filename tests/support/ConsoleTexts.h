#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvel {

// The console texts of a start without a service manager.
extern const std::string MustRunLine;
extern const std::string UsageBlock;
extern const std::string NotStartedHint;

// The lines of a file, without their line ends; none for a missing file.
std::vector<std::string> Lines(const std::string& path);

// The log file's lines without their time stamps.
std::vector<std::string> LogMessages(const std::string& logText);

// How often the text occurs in the whole text (occurrences may overlap).
std::size_t Occurrences(const std::string& text, const std::string& what);

} // namespace korvel
