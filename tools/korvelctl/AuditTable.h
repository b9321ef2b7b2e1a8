#pragma once

#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// `korvelctl audit`: the service's control audit file as a table.

// One line of the file: its fields as text (strings unescaped, numbers as
// written, null as none). None when the line is not one flat JSON object.
using AuditFields = std::map<std::string, std::optional<std::string>>;
std::optional<AuditFields> ParseAuditLine(const std::string& line);

struct AuditFilter
{
    std::optional<std::string> camera; // Pelco number
    std::optional<std::string> user;
    // UTC, compared with the records' times as text: "2026-12-08",
    // "2026-12-08T02:13" or "2026-12-08 02:13:05" all work.
    std::optional<std::string> since;

    bool Admits(const AuditFields& record) const;
};

// The rows that pass the filter, under a heading; lines that are no record
// are counted in `skipped`.
void PrintAuditTable(std::istream& in, const AuditFilter& filter, std::ostream& out,
                     std::size_t& skipped);

// The whole subcommand: arguments after "audit"; returns the exit status.
int RunAudit(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace korvel
