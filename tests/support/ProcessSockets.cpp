#include "support/ProcessSockets.h"

#include <fstream>
#include <sstream>

#include <dirent.h>
#include <unistd.h>

namespace korvel {

std::vector<std::string> DescriptorTargets(pid_t pid)
{
    std::vector<std::string> targets;
    const std::string fdDirectory = "/proc/" + std::to_string(pid) + "/fd";
    DIR* directory = ::opendir(fdDirectory.c_str());
    if (!directory)
        return targets;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[512] = {};
        const std::string link = fdDirectory + "/" + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        targets.emplace_back(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    }
    ::closedir(directory);
    return targets;
}

std::set<std::string> SocketInodes(pid_t pid)
{
    std::set<std::string> inodes;
    for (const std::string& target : DescriptorTargets(pid)) {
        if (target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

std::uint16_t ListeningPortOf(pid_t pid)
{
    const std::set<std::string> inodes = SocketInodes(pid);
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
    std::string line;
    std::getline(table, line); // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && inodes.count(inode) && local.rfind("0100007F:", 0) == 0)
            return static_cast<std::uint16_t>(
                std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
    return 0;
}

} // namespace korvel
