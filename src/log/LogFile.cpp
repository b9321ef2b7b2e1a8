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

bool Log::OpenForAppending()
{
    stream.clear();
    stream.open(currentPath, std::ios::out | std::ios::app);
    if (!stream.is_open()) {
        stream.clear();
        return false;
    }
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
        if (!OpenForAppending())
            return false;
        return true;
    }

    stream.clear();
    stream.open(currentPath, std::ios::out | std::ios::trunc);
    if (!stream.is_open()) {
        stream.clear();
        return false;
    }
    return true;
}

void Log::WriteLine(const std::string& prefix, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);

    if (!stream.is_open() && !OpenForAppending()) {
        std::cerr << text << '\n' << std::flush;
        return;
    }
    if (!stream.good()) {
        std::cerr << text << '\n' << std::flush;
        return;
    }
    if (!RotateIfTooLarge()) {
        std::cout << prefix << text << '\n' << std::flush;
        return;
    }

    stream << prefix << text << '\n' << std::flush;
    if (!stream.good()) {
        // The file has failed; this line and all later ones go to standard error.
        std::cerr << text << '\n' << std::flush;
    }
}

Log LogFile{ProgramDirectory()};

} // namespace korvel
