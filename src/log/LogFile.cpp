#include "log/LogFile.h"

#include "platform/ProgramDirectory.h"
#include "text/OutsideText.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace korvel {

namespace {

const char* const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

using Manipulator = std::ostream& (*)(std::ostream&);
const Manipulator EndOfLine = static_cast<Manipulator>(std::endl<char, std::char_traits<char>>);

std::string Lines(std::uint64_t count)
{
    return std::to_string(count) + (count == 1 ? " line" : " lines");
}

// The first line the file takes after lines went elsewhere.
std::string WhereLinesWent(std::uint64_t toStandardError, std::uint64_t toStandardOutput)
{
    std::string text = "Writing tlKorvel.log again; ";
    if (toStandardError > 0)
        text += Lines(toStandardError) + " went to standard error";
    if (toStandardError > 0 && toStandardOutput > 0)
        text += " and " + Lines(toStandardOutput) + " to standard output";
    else if (toStandardOutput > 0)
        text += Lines(toStandardOutput) + " went to standard output";
    return text + " meanwhile";
}

// True when the file's last byte is not a line end: a write that failed
// half-way left a line cut.
bool EndsMidLine(const std::string& path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file || file.tellg() <= 0)
        return false;
    file.seekg(-1, std::ios::end);
    char last = 0;
    return file.get(last) && last != '\n';
}

} // namespace

std::optional<std::string> FormatLogTime(std::time_t when)
{
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr)
        return std::nullopt;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%s-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  MonthNames[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec);
    return std::string(buffer);
}

LogLine::LogLine(Log& log, std::string prefix) : log(&log), prefix(std::move(prefix)) {}

LogLine::LogLine(LogLine&& other) noexcept
    : log(other.log), prefix(std::move(other.prefix)), text(std::move(other.text)),
      ended(other.ended)
{
    other.ended = true;
}

LogLine::~LogLine()
{
    try {
        End();
    } catch (...) {
        // A line that cannot be written is lost; the caller must not fail for it.
    }
}

LogLine& LogLine::operator<<(std::ostream& (*manipulator)(std::ostream&))
{
    if (manipulator == EndOfLine)
        End();
    else
        manipulator(text);
    return *this;
}

void LogLine::End()
{
    if (ended)
        return;
    ended = true;
    // Whatever went into the line (a peer's name, an address or a device
    // from the configuration, a system's error text) is one line when written.
    log->WriteLine(prefix, EscapedText(text.str()));
}

Log::Log(const std::string& directory)
    : directory(directory), currentPath(directory + "tlKorvel.log"),
      oldPath(directory + "tlKorvel.log.old")
{}

Log::~Log()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (stream.is_open())
        stream.close();
}

LogLine Log::BeginLine()
{
    const std::optional<std::string> stamp = FormatLogTime(std::time(nullptr));
    if (!stamp)
        throw std::runtime_error("could not convert calendar time to local time");
    return LogLine(*this, "[ " + *stamp + " ] ");
}

// Unbuffered (set while the file is closed, as a file buffer takes it): each
// line is one write, and nothing of a line the file refused stays behind to
// be written when it closes.
bool Log::Open(std::ios::openmode mode)
{
    stream.clear();
    stream.rdbuf()->pubsetbuf(nullptr, 0);
    stream.open(currentPath, mode);
    if (!stream.is_open()) {
        stream.clear();
        return false;
    }
    return true;
}

bool Log::OpenForAppending()
{
    if (!Open(std::ios::out | std::ios::app))
        return false;
    // A freshly opened stream reports position 0; start at the true end so that
    // an oversized file is rotated at the first line.
    stream.seekp(0, std::ios::end);
    stream.clear();
    return true;
}

// Called with the file open and good. Returns false when the file could not be
// reopened after renaming; the stream is then closed.
bool Log::RotateIfTooLarge()
{
    const std::streamoff position = stream.tellp();
    if (position <= RotationSize)
        return true;

    stream.close();
    std::error_code error;
    std::filesystem::remove(oldPath, error);
    if (!error)
        std::filesystem::rename(currentPath, oldPath, error);
    if (error) {
        // Keep the unrotated file and try again at a later line.
        return OpenForAppending();
    }
    return Open(std::ios::out | std::ios::trunc);
}

bool Log::Put(const std::string& line)
{
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
    return stream.good();
}

void Log::Elsewhere(std::ostream& to, const std::string& line)
{
    to << line << '\n' << std::flush;
    ++(&to == &std::cout ? toStandardOutput : toStandardError);
}

void Log::WriteLine(const std::string& prefix, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);

    // A failed write leaves the stream failed for good: the line after it
    // starts again from the file's name, as after a failed open, so that the
    // log comes back once the disk has room again.
    if (stream.is_open() && !stream.good()) {
        stream.close();
        stream.clear();
    }
    if (!stream.is_open() && !OpenForAppending()) {
        Elsewhere(std::cerr, text);
        return;
    }
    if (!RotateIfTooLarge()) {
        Elsewhere(std::cout, prefix + text);
        return;
    }

    std::string lines;
    if (writeFailed && EndsMidLine(currentPath))
        lines += '\n';
    if (toStandardError + toStandardOutput > 0)
        lines += prefix + WhereLinesWent(toStandardError, toStandardOutput) + '\n';
    lines += prefix + text + '\n';
    if (!Put(lines)) {
        writeFailed = true;
        Elsewhere(std::cerr, text);
        return;
    }
    writeFailed = false;
    toStandardError = toStandardOutput = 0;
}

Log LogFile{ProgramDirectory()};

} // namespace korvel
