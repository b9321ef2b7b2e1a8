#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>

namespace korvel {

class Log;

// One line of the log under construction. It collects the caller's
// insertions and hands prefix, text and line end to the log in one piece when
// the line ends (std::endl, or the end of the statement), so that lines from
// different threads never interleave. The text is written as EscapedText
// (text/OutsideText.h) shows it, so no insertion can split or forge a line.
class LogLine
{
public:
    LogLine(Log& log, std::string prefix);
    LogLine(LogLine&& other) noexcept;
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    LogLine& operator=(LogLine&&) = delete;
    ~LogLine();

    template <typename T>
    LogLine& operator<<(const T& value)
    {
        text << value;
        return *this;
    }

    // std::endl ends the line; other manipulators apply to the text.
    LogLine& operator<<(std::ostream& (*manipulator)(std::ostream&));

    // Writes the line now; later insertions are ignored.
    void End();

private:
    Log* log;
    std::string prefix;
    std::ostringstream text;
    bool ended = false;
};

// The time-stamped, size-rotated log file of the program:
// "tlKorvel.log" in the given directory, with one older generation
// "tlKorvel.log.old".
//
// A line the file cannot take goes to standard error without its time stamp:
// when the file cannot be opened, and when a write to it fails (a full disk,
// a file size limit). After a failed write the next line closes the file and
// opens it again for appending, so the log comes back with the disk; a line
// the failed write left cut is ended first, and the first line written then
// says how many lines went elsewhere meanwhile. Each line is written with one
// write, nothing held back in a buffer, so a failed one is not written again
// when the file closes.
class Log
{
public:
    static constexpr std::streamoff RotationSize = 0x100000;

    explicit Log(const std::string& directory);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Starts a line stamped with the local time now. Throws std::runtime_error
    // "could not convert calendar time to local time" when there is no local time.
    LogLine BeginLine();

    const std::string& CurrentPath() const { return currentPath; }
    const std::string& OldPath() const { return oldPath; }

private:
    friend class LogLine;

    void WriteLine(const std::string& prefix, const std::string& text);
    bool Open(std::ios::openmode mode);
    bool OpenForAppending();
    bool RotateIfTooLarge();
    // Writes the line in one piece; false when the file did not take it all.
    bool Put(const std::string& line);
    // A line that went to standard error, or to standard output.
    void Elsewhere(std::ostream& to, const std::string& line);

    std::string directory;
    std::string currentPath;
    std::string oldPath;
    std::mutex mutex;
    std::ofstream stream;
    // Since the last line the file took: lines that went to standard error
    // and to standard output, and whether a write to it failed.
    std::uint64_t toStandardError = 0;
    std::uint64_t toStandardOutput = 0;
    bool writeFailed = false;
};

// Local time stamp in the log's form, for example "2026-Dec-07 01:13:02";
// none when the time cannot be converted to local time.
std::optional<std::string> FormatLogTime(std::time_t when);

// The process-wide log, beside the executable.
extern Log LogFile;

} // namespace korvel
