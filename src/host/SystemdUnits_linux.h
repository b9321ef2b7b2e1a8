#pragma once

// The unit files that register the service with systemd: the service unit
// itself and a timer that starts it two minutes after boot (the delayed
// automatic start).

#include <string>
#include <vector>

struct ServiceUnitSettings
{
    std::string description;
    std::string execStart; // the executable as ExecStartWord gives it
    std::vector<std::string> dependencies; // names of services started first
    bool restartOnFailure = false;          // 60 s after a crash, 3 starts a day
};

std::string ServiceUnitText(const ServiceUnitSettings& settings);
std::string TimerUnitText(const std::string& serviceName, const std::string& displayName);

// The executable path as the first word of an ExecStart= line, with blanks and
// specifier signs (%) kept literal. False for a path systemd refuses to run:
// one with quotes, backslashes, control characters or bytes that are not UTF-8.
bool ExecStartWord(const std::string& path, std::string& word);

// Replaces the file at path with the text in one step (a reader never sees a
// partial unit). Returns 0 or the errno of the failure.
int WriteUnitFile(const std::string& path, const std::string& text);
