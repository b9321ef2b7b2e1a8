#include "support/Camsim.h"

#include "support/TempDir.h"

#include <algorithm>
#include <csignal>
#include <regex>
#include <stdexcept>

namespace korvel {

#if !defined(CAMSIM_BINARY)
#error "CAMSIM_BINARY names the camera simulator"
#endif

std::unique_ptr<Camsim> Camsim::Tcp(std::uint16_t port, const std::string& host)
{
    return std::unique_ptr<Camsim>(new Camsim({"--listen", host + ":" + std::to_string(port)}));
}

std::unique_ptr<Camsim> Camsim::Pty()
{
    return std::unique_ptr<Camsim>(new Camsim({"--pty"}));
}

Camsim::Camsim(const std::vector<std::string>& arguments)
    : process(std::make_unique<Process>(CAMSIM_BINARY, arguments))
{
    const std::regex tcpLine("camera listening on [0-9.]+:([0-9]+)\n");
    const std::regex ptyLine("camera on pseudo-terminal (/dev/pts/[0-9]+)\n");
    const bool ready = WaitUntil([&] {
        const std::string out = process->Stdout();
        std::smatch match;
        if (std::regex_search(out, match, tcpLine)) {
            port = static_cast<std::uint16_t>(std::stoul(match[1]));
            return true;
        }
        if (std::regex_search(out, match, ptyLine)) {
            device = match[1];
            return true;
        }
        return !process->Running();
    });
    if (!ready || (port == 0 && device.empty()))
        throw std::runtime_error("camsim did not start: " + Output());
}

int Camsim::Connections() const
{
    const std::string out = process->Stdout();
    int count = 0;
    for (auto at = out.find(" connection from "); at != std::string::npos;
         at = out.find(" connection from ", at + 1)) {
        // "connection from PEER closed" and "... lost" end a connection.
        const auto end = out.find('\n', at);
        const std::string rest = out.substr(at, end - at);
        if (rest.find(" closed") == std::string::npos && rest.find(" lost") == std::string::npos)
            ++count;
    }
    return count;
}

std::vector<unsigned> Camsim::Numbers() const
{
    static const std::regex frame(
        "Pelco-D \\[FF ([0-9A-F]{2}) 00 02 ([0-9A-F]{2}) ([0-9A-F]{2}) [0-9A-F]{2}\\]");
    const std::string out = process->Stdout();
    std::vector<unsigned> numbers;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), frame);
         it != std::sregex_iterator(); ++it) {
        numbers.push_back(static_cast<unsigned>(std::stoul((*it)[2], nullptr, 16) * 256 +
                                                std::stoul((*it)[3], nullptr, 16)));
    }
    return numbers;
}

std::vector<std::string> Camsim::Frames() const
{
    static const std::regex frame("Pelco-[DP] \\[([0-9A-F ]+)\\]");
    const std::string out = process->Stdout();
    std::vector<std::string> frames;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), frame);
         it != std::sregex_iterator(); ++it)
        frames.push_back((*it)[1]);
    return frames;
}

bool Camsim::WaitForNumber(unsigned number, std::chrono::milliseconds timeout) const
{
    return WaitUntil(
        [&] {
            const std::vector<unsigned> numbers = Numbers();
            return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
        },
        timeout);
}

void Camsim::Kill()
{
    process->Signal(SIGKILL);
    process->Wait();
}

} // namespace korvel
