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

// The port on which one of the process's sockets listens at 127.0.0.1; 0 if
// none. (Tests put a second listener of the service, the status server, on
// another loopback address.)
std::uint16_t ListeningPortOf(pid_t pid);

} // namespace korvel
