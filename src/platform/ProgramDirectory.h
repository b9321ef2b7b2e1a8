#pragma once

#include <string>

namespace korvel {

// Directory of the running executable with a trailing separator, so that a
// file name can be appended directly. The configuration file and the log
// live there, whatever the working directory is.
std::string ProgramDirectory();

// Full path of the running executable.
std::string ProgramPath();

} // namespace korvel
