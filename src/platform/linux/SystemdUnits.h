#pragma once

// The unit files that register the service with systemd: the service unit
// itself and a timer that starts it two minutes after boot (the delayed
// automatic start). Both are filled in from the templates in packaging/,
// which the Debian package's units come from too.

#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace korvel {

struct ServiceUnitSettings
{
    std::string description;
    std::string program;                   // full path of the executable
    std::vector<std::string> dependencies; // names of services started first
    bool restartOnFailure = false;         // a minute after every failure, without limit
    std::string account;                   // empty: root, as -install registers it
};

// The service unit, sandboxed with the program's folder writable. None when
// systemd would refuse to run the program at that path (see UnitPathWord).
std::optional<std::string> ServiceUnitText(const ServiceUnitSettings& settings);
std::string TimerUnitText(const std::string& serviceName, const std::string& displayName);

// Fills in a unit template: each @NAME@ of the values is replaced by its value,
// and a line that held nothing but an empty value is dropped; a line marked
// {flag} is kept, without its mark, only when the flag is given; lines
// starting with ## are notes of the template and are dropped.
using UnitValues = std::vector<std::pair<std::string, std::string>>;
std::string FillUnitTemplate(const std::string& unitTemplate, const std::set<std::string>& flags,
                             const UnitValues& values);

// The path as one word of a unit setting (ExecStart=, ReadWritePaths=), with
// blanks and specifier signs (%) kept literal. None for a path systemd
// refuses: an empty one, or one with quotes, backslashes, control characters
// or bytes that are not UTF-8.
std::optional<std::string> UnitPathWord(const std::string& path);

// Replaces the file at path with the text in one step (a reader never sees a
// partial unit); the error of a failure.
std::error_code WriteUnitFile(const std::string& path, const std::string& text);

} // namespace korvel
