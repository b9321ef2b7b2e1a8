#include "support/NvrSimulator.h"

#include "support/OperatorClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sstream>
#include <stdexcept>

namespace korvel {

namespace {

const auto AnswerTimeout = std::chrono::seconds(20);

// "NAME on HOST:PORT" in the simulator's output.
bool FindEndpoint(const std::string& output, const std::string& name, std::string& host,
                  std::uint16_t& port)
{
    const std::string prefix = name + " on ";
    const auto start = output.find(prefix);
    if (start == std::string::npos)
        return false;
    const auto end = output.find('\n', start);
    if (end == std::string::npos)
        return false;
    const std::string endpoint = output.substr(start + prefix.size(), end - start - prefix.size());
    const auto colon = endpoint.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = endpoint.substr(0, colon);
    port = static_cast<std::uint16_t>(std::stoul(endpoint.substr(colon + 1)));
    return true;
}

// The last lines of the answers on standard output, in order.
std::vector<std::string> AnswerLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line == "ok" || line.rfind("error: ", 0) == 0)
            lines.push_back(line);
    return lines;
}

int ConnectTo(const std::string& host, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + host);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    }
    return fd;
}

} // namespace

NvrSimulator::NvrSimulator(const std::string& listen, const std::vector<std::string>& records,
                           const std::vector<std::string>& arguments)
{
    std::vector<std::string> commandLine = {"--listen", listen, "--control", "127.0.0.1:0"};
    commandLine.insert(commandLine.end(), arguments.begin(), arguments.end());
    Process::Options options;
    options.stdinPipe = true;
    process = std::make_unique<Process>(NVRSIM_BINARY, commandLine, options);
    for (const std::string& record : records)
        process->WriteStdin(record + "\n");

    // Started once both endpoints are out and every record is answered.
    std::string controlHost;
    std::vector<std::string> answers;
    const bool started = WaitUntil([&] {
        const std::string out = process->Stdout();
        answers = AnswerLines(out);
        return (FindEndpoint(out, "listening", host, port) &&
                FindEndpoint(out, "control", controlHost, controlPort) &&
                answers.size() >= records.size()) ||
               !process->Running();
    });
    if (!started || controlPort == 0 || answers.size() < records.size())
        throw std::runtime_error("nvrsim did not start: " + process->Stdout() + process->Stderr());
    for (std::size_t index = 0; index < records.size(); ++index)
        if (answers[index] != "ok")
            throw std::runtime_error("nvrsim refused '" + records[index] + "': " + answers[index]);
    control = ConnectTo(controlHost, controlPort);
}

NvrSimulator::~NvrSimulator()
{
    if (!killed && process->Running()) {
        try {
            Answer("quit");
        } catch (const std::runtime_error&) {
        }
        if (!process->Wait(AnswerTimeout)) {
            ADD_FAILURE() << "nvrsim did not end on quit";
            process->Signal(SIGKILL);
            process->Wait();
        }
    }
    CloseControl();
    if (!killed) {
        EXPECT_FALSE(process->Signalled()) << process->Stderr();
        EXPECT_EQ(process->ExitStatus(), 0) << process->Stderr();
    }
    const std::string errors = process->Stderr();
    for (const char* marker : {"Sanitizer", "runtime error:"})
        EXPECT_EQ(errors.find(marker), std::string::npos) << "nvrsim reported:\n" << errors;
}

std::string NvrSimulator::Answer(const std::string& line)
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
            int result;
            do {
                result = ::poll(&ready, 1, static_cast<int>(AnswerTimeout.count() * 1000));
            } while (result < 0 && errno == EINTR);
            if (result <= 0)
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
        answer += answerLine + "\n";
        if (answerLine == "ok" || answerLine.rfind("error: ", 0) == 0)
            return answer;
    }
}

std::string NvrSimulator::Command(const std::string& line)
{
    const std::string answer = Answer(line);
    const auto last = answer.rfind('\n', answer.size() - 2);
    const std::size_t lastLine = last == std::string::npos ? 0 : last + 1;
    if (answer.compare(lastLine, std::string::npos, "ok\n") != 0)
        throw std::runtime_error("nvrsim refused '" + line + "': " + answer.substr(lastLine));
    return answer.substr(0, lastLine);
}

void NvrSimulator::Quit()
{
    if (process->Running())
        Answer("quit");
    CloseControl();
    if (!process->Wait(AnswerTimeout))
        throw std::runtime_error("nvrsim did not end on quit");
}

void NvrSimulator::Kill()
{
    CloseControl();
    killed = true;
    process->Signal(SIGKILL);
    process->Wait();
}

void NvrSimulator::CloseControl()
{
    if (control >= 0)
        ::close(control);
    control = -1;
}

std::string FireUntilHandedOver(NvrSimulator& nvr, OperatorClient& chooser,
                                const std::vector<std::string>& fires, const std::string& handover)
{
    std::string handed;
    for (int attempt = 0; attempt < 40 && handed.empty(); ++attempt) {
        for (const std::string& fire : fires)
            nvr.Command("fire " + fire);
        handed = chooser.Read(handover.size(), std::chrono::milliseconds(500));
    }
    return handed;
}

} // namespace korvel
