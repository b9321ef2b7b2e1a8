#pragma once

// What /proc tells of another process's descriptors and sockets.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel {

// The targets of the process's descriptors ("socket:[123]", "/dev/pts/4", ...).
std::vector<std::string> DescriptorTargets(pid_t pid);

// The inode numbers of the process's sockets.
std::set<std::string> SocketInodes(pid_t pid);

// The port on which one of the process's TCP sockets listens; 0 if none.
std::uint16_t ListeningPortOf(pid_t pid);

} // namespace korvel
