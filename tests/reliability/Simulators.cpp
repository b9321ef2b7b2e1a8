#include "Simulators.h"

#include "support/TempDir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <regex>
#include <stdexcept>

namespace korvel {

#if !defined(CAMSIM_BINARY) || !defined(NVRSIM_BINARY)
#error "CAMSIM_BINARY and NVRSIM_BINARY name the simulators"
#endif

namespace {

int ConnectToLoopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    return fd;
}

} // namespace

std::string NumberedFrame(unsigned pelcoAddress, unsigned number)
{
    const unsigned char bytes[] = {
        0xFF, static_cast<unsigned char>(pelcoAddress), 0x00,
        0x02, static_cast<unsigned char>(number >> 8),  static_cast<unsigned char>(number & 0xFF),
        0};
    std::string frame(reinterpret_cast<const char*>(bytes), sizeof bytes);
    unsigned sum = 0;
    for (std::size_t i = 1; i < 6; ++i)
        sum += static_cast<unsigned char>(frame[i]);
    frame[6] = static_cast<char>(sum & 0xFF);
    return frame;
}

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

Nvrsim::Nvrsim(const std::string& listen, const std::vector<std::string>& firstCommands)
{
    Process::Options options;
    options.stdinPipe = true;
    process = std::make_unique<Process>(
        NVRSIM_BINARY, std::vector<std::string>{"--listen", listen, "--control", "127.0.0.1:0"},
        options);
    for (const std::string& command : firstCommands)
        process->WriteStdin(command + "\n");
    const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)\n");
    const std::regex controlLine("control on 127\\.0\\.0\\.1:([0-9]+)\n");
    std::uint16_t controlPort = 0;
    const bool started = WaitUntil([&] {
        const std::string out = process->Stdout();
        std::smatch data, control;
        if (!std::regex_search(out, data, listening) ||
            !std::regex_search(out, control, controlLine))
            return !process->Running();
        port = static_cast<std::uint16_t>(std::stoul(data[1]));
        controlPort = static_cast<std::uint16_t>(std::stoul(control[1]));
        return true;
    });
    if (!started || controlPort == 0)
        throw std::runtime_error("nvrsim did not start: " + process->Stdout() + process->Stderr());
    control = ConnectToLoopback(controlPort);
}

Nvrsim::~Nvrsim()
{
    if (control >= 0)
        ::close(control);
}

std::string Nvrsim::Command(const std::string& line)
{
    const std::string request = line + "\n";
    if (control < 0 || ::send(control, request.data(), request.size(), MSG_NOSIGNAL) !=
                           static_cast<ssize_t>(request.size()))
        throw std::runtime_error("nvrsim is not there for " + line);
    std::string answer;
    for (;;) {
        const auto end = pending.find('\n');
        if (end == std::string::npos) {
            pollfd ready{control, POLLIN, 0};
            if (::poll(&ready, 1, 20000) <= 0)
                throw std::runtime_error("nvrsim did not answer " + line);
            char buffer[4096];
            const ssize_t got = ::recv(control, buffer, sizeof buffer, 0);
            if (got <= 0)
                throw std::runtime_error("nvrsim closed its control connection at " + line);
            pending.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        const std::string answerLine = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (answerLine == "ok")
            return answer;
        if (answerLine.rfind("error: ", 0) == 0)
            throw std::runtime_error("nvrsim refused '" + line + "': " + answerLine);
        answer += answerLine + "\n";
    }
}

void Nvrsim::Kill()
{
    if (control >= 0)
        ::close(control);
    control = -1;
    process->Signal(SIGKILL);
    process->Wait();
}

} // namespace korvel
