#include "SystemProcesses.h"

#include "support/TempDir.h"

#include <filesystem>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel {

std::string WaitForLineAfter(const Process& process, const std::string& prefix,
                             std::chrono::milliseconds timeout)
{
    std::string rest;
    WaitUntil(
        [&] {
            std::istringstream lines(process.Stdout());
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind(prefix, 0) == 0 && lines.good()) { // whole lines only
                    rest = line.substr(prefix.size());
                    return true;
                }
            }
            return false;
        },
        timeout);
    return rest;
}

namespace {

// Inodes of the sockets the process holds open.
std::set<std::string> SocketInodes(int pid)
{
    std::set<std::string> inodes;
    std::error_code error;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    for (std::filesystem::directory_iterator entry(fdDir, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string target = std::filesystem::read_symlink(entry->path(), error).string();
        if (!error && target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
        error.clear();
    }
    return inodes;
}

} // namespace

unsigned short ListeningPort(int pid)
{
    const std::set<std::string> inodes = SocketInodes(pid);
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        std::istringstream lines(ReadFile("/proc/" + std::to_string(pid) + table));
        std::string line;
        std::getline(lines, line); // the heading
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (state == "0A" && inodes.count(inode) != 0) // listening
                return static_cast<unsigned short>(
                    std::stoul(local.substr(local.rfind(':') + 1), nullptr, 16));
        }
    }
    return 0;
}

std::vector<std::string> ShownFrames(const std::string& camsimOutput)
{
    static const std::regex frame("(camera [0-9]+) Pelco-[DP] (\\[[0-9A-F ]+\\])");
    std::vector<std::string> frames;
    for (auto it = std::sregex_iterator(camsimOutput.begin(), camsimOutput.end(), frame);
         it != std::sregex_iterator(); ++it)
        frames.push_back((*it)[1].str() + " " + (*it)[2].str());
    return frames;
}

std::size_t FindInOrder(const std::string& output, const std::vector<std::string>& texts,
                        std::size_t from)
{
    for (const auto& text : texts) {
        const std::size_t at = output.find(text, from);
        if (at == std::string::npos)
            return std::string::npos;
        from = at + text.size();
    }
    return from;
}

} // namespace korvel
