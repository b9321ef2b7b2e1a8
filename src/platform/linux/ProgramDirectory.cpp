#include "platform/ProgramDirectory.h"

#include <limits.h>
#include <unistd.h>

namespace korvel {

std::string ProgramPath()
{
    char path[PATH_MAX + 1] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0)
        return std::string();
    return std::string(path, static_cast<size_t>(length));
}

std::string ProgramDirectory()
{
    const std::string path = ProgramPath();
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return "./";
    return path.substr(0, slash + 1);
}

} // namespace korvel
