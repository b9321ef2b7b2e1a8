#pragma once

// What the process-wide log gained since a point in a test, for tests that
// run the program's parts in the test process (the log lives beside the test
// executable).
#include "log/LogFile.h"
#include "support/TempDir.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace korvel {

class LogCapture
{
public:
    LogCapture() : start(ReadFile(LogFile.CurrentPath()).size()) {}

    // The log's text since construction, including a rotation in between.
    std::string Text() const
    {
        const std::string current = ReadFile(LogFile.CurrentPath());
        if (current.size() >= start)
            return current.substr(start);
        const std::string old = ReadFile(LogFile.OldPath());
        return (old.size() > start ? old.substr(start) : std::string()) + current;
    }

    // The lines without their time stamps.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(Text());
        for (std::string line; std::getline(in, line);) {
            const auto end = line.find(" ] ");
            lines.push_back(
                line.rfind("[ ", 0) == 0 && end != std::string::npos ? line.substr(end + 3) : line);
        }
        return lines;
    }

    // Lines that start with the prefix.
    int Count(const std::string& prefix) const
    {
        const auto lines = Lines();
        return static_cast<int>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
    }

private:
    std::size_t start;
};

} // namespace korvel
