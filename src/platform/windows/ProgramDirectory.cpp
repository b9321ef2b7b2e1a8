#include "platform/ProgramDirectory.h"

#include <windows.h>

namespace korvel {

std::string ProgramPath()
{
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    // A path that filled the buffer was cut short: no use to anyone.
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    return std::string(path, length);
}

std::string ProgramDirectory()
{
    const std::string path = ProgramPath();
    const std::string::size_type separator = path.find_last_of("\\/");
    if (separator == std::string::npos)
        return ".\\";
    return path.substr(0, separator + 1);
}

} // namespace korvel
