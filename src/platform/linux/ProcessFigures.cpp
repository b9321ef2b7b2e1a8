#include "platform/ProcessFigures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace korvel {

namespace {

std::uint64_t OpenDescriptors()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory)
        return 0;
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(directory);
    return count > 0 ? count - 1 : 0; // less the one reading the folder
}

// Seconds since boot at which the process started, from /proc/self/stat.
double StartSinceBoot()
{
    std::ifstream file("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses: count after the last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22)
            return std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return 0;
}

double BootTime()
{
    std::ifstream file("/proc/stat");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("btime ", 0) == 0)
            return std::stod(line.substr(6));
    }
    return 0;
}

} // namespace

ProcessFigures ReadProcessFigures()
{
    ProcessFigures figures;
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0, resident = 0;
    if (statm >> pages >> resident)
        figures.residentBytes = resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    figures.openDescriptors = OpenDescriptors();
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        figures.maxDescriptors = limit.rlim_cur;
    const double boot = BootTime();
    if (boot > 0)
        figures.startTimeSeconds = boot + StartSinceBoot();
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) == 0) {
        figures.cpuSeconds =
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return figures;
}

} // namespace korvel
