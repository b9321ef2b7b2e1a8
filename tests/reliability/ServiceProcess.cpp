#include "ServiceProcess.h"

#include "client/Peers.h"
#include "support/ProcessSockets.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace korvel {

const char* const ProbeUser = "probe";
const char* const ProbePassword = "probe pw";

namespace {

std::string ProcDirectory(pid_t pid)
{
    return "/proc/" + std::to_string(pid) + "/";
}

std::size_t ResidentKiB(pid_t pid)
{
    std::ifstream status(ProcDirectory(pid) + "status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoul(line.substr(6));
    }
    return 0;
}

std::vector<std::string> LogLines(const std::string& log)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const auto end = line.find(" ] ");
        lines.push_back(end != std::string::npos ? line.substr(end + 3) : line);
    }
    return lines;
}

} // namespace

std::string ServiceSetup::Xml() const
{
    std::string xml = R"(<?xml version="1.0"?>
<tlKorvel>
  <Options RetryIntervalSecs=")" +
                      std::to_string(retryIntervalSecs) +
                      R"(" ClientAddress="127.0.0.1" ClientPort="0" )" + options +
                      R"( />
  <KorvelControl LockTime=")" +
                      std::to_string(lockTimeSecs) + R"(" )" + control + R"(>
    <User Name=")" + ProbeUser +
                      R"(" Password=")" + ProbePassword + R"(" Priority="1" />
)";
    for (const std::string& user : users)
        xml += "    " + user + "\n";
    xml += "  </KorvelControl>\n  <NVR " + nvr + ">\n";
    for (const std::string& camera : cameras)
        xml += "    " + camera + "\n";
    xml += "  </NVR>\n</tlKorvel>\n";
    return xml;
}

ServiceProcess::ServiceProcess(const ServiceSetup& config) : program(dir.Path())
{
    program.WriteConfig(config.Xml());
    process = std::make_unique<Process>(program.Path(), std::vector<std::string>{"-d"});
    // Until it runs the service the child may still hold descriptors of ours;
    // the banner comes after the exec.
    const bool listening = WaitUntil([&] {
        return program.Log().find("Starting tlKorvel") != std::string::npos &&
               (port = ListeningPortOf(process->Pid())) != 0;
    });
    if (!listening)
        throw std::runtime_error("the service did not start listening; its log:\n" + program.Log() +
                                 process->Stderr());
}

ServiceProcess::~ServiceProcess()
{
    if (process->Running()) {
        process->Signal(SIGTERM);
        if (!process->Wait(std::chrono::seconds(20)))
            process->Signal(SIGKILL);
    }
}

int ServiceProcess::CountLog(const std::string& prefix) const
{
    int count = 0;
    for (const std::string& line : LogLines(Log()))
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

bool ServiceProcess::WaitForLog(const std::string& prefix, int count,
                                std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return CountLog(prefix) >= count; }, timeout);
}

Footprint ServiceProcess::Now() const
{
    return Footprint{DescriptorTargets(Pid()).size(), ResidentKiB(Pid())};
}

std::set<std::string> ServiceProcess::Sockets() const
{
    return SocketInodes(Pid());
}

Footprint ServiceProcess::Settled() const
{
    Footprint last = Now();
    for (int round = 0; round < 100; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const Footprint now = Now();
        if (now.descriptors == last.descriptors)
            return now;
        last = now;
    }
    return last;
}

bool ServiceProcess::Stop()
{
    process->Signal(SIGTERM);
    if (!process->Wait(std::chrono::seconds(20)) || process->Signalled() ||
        process->ExitStatus() != 0)
        return false;
    const std::string errors = process->Stderr();
    return errors.find("Sanitizer") == std::string::npos &&
           errors.find("runtime error:") == std::string::npos;
}

void ExpectRecovered(const ServiceProcess& service, const Footprint& baseline)
{
    Footprint now;
    EXPECT_TRUE(WaitUntil([&] {
        now = service.Now();
        return now.descriptors == baseline.descriptors;
    })) << "descriptors: "
        << now.descriptors << " now, " << baseline.descriptors << " before";
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(now.residentKiB, baseline.residentKiB + MaxResidentGrowthKiB)
        << "resident memory grew from " << baseline.residentKiB << " KiB";
#endif

    OperatorClient probe(service.Port());
    EXPECT_EQ(probe.ReadGreeting(), "SESSION " + std::to_string(probe.LocalPort()));
    probe.Send(std::string("LOGIN ") + ProbeUser + " " + ProbePassword);
    EXPECT_EQ(probe.Read(2), "OK") << "a new operator is still served";
}

} // namespace korvel
