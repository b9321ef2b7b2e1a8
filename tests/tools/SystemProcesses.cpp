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
