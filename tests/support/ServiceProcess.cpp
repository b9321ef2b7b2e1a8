#include "support/ServiceProcess.h"

#include "support/ConsoleTexts.h"
#include "support/OperatorClient.h"
#include "support/ProcessSockets.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

// AddressSanitizer holds freed memory back on purpose, so resident memory says
// nothing of leaks there (its leak checker does). g++ says so with a macro,
// clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define KORVEL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEL_ADDRESS_SANITIZER 1
#endif
#endif

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
    Start(config.Xml(), config.launcher);
}

ServiceProcess::ServiceProcess(const std::string& configurationXml,
                               const std::vector<std::string>& launcher)
    : program(dir.Path())
{
    Start(configurationXml, launcher);
}

void ServiceProcess::Start(const std::string& configurationXml,
                           const std::vector<std::string>& launcher)
{
    program.WriteConfig(configurationXml);
    if (launcher.empty()) {
        process = std::make_unique<Process>(program.Path(), std::vector<std::string>{"-d"});
    } else {
        std::vector<std::string> arguments(launcher.begin() + 1, launcher.end());
        arguments.push_back(program.Path());
        arguments.push_back("-d");
        process = std::make_unique<Process>(launcher.front(), arguments);
    }
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
        if (!process->Wait(std::chrono::seconds(20))) {
            ADD_FAILURE() << "the service did not stop";
            process->Signal(SIGKILL);
        }
    }
    if (HasSanitizerReport(process->Stderr()))
        ADD_FAILURE() << "tlKorvel reported:\n" << process->Stderr();
}

int ServiceProcess::CountLog(const std::string& prefix) const
{
    int count = 0;
    for (const std::string& line : LogMessages(Log()))
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

bool ServiceProcess::AwaitLog(const std::string& text, std::size_t count,
                              std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return Occurrences(Log(), text) >= count; }, timeout);
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
    return !HasSanitizerReport(process->Stderr());
}

bool HasSanitizerReport(const std::string& standardError)
{
    return standardError.find("Sanitizer") != std::string::npos ||
           standardError.find("runtime error:") != std::string::npos;
}

void ExpectRecovered(const ServiceProcess& service, const Footprint& baseline)
{
    Footprint now;
    EXPECT_TRUE(WaitUntil([&] {
        now = service.Now();
        return now.descriptors == baseline.descriptors;
    })) << "descriptors: "
        << now.descriptors << " now, " << baseline.descriptors << " before";
#if !defined(KORVEL_ADDRESS_SANITIZER)
    EXPECT_LT(now.residentKiB, baseline.residentKiB + MaxResidentGrowthKiB)
        << "resident memory grew from " << baseline.residentKiB << " KiB";
#endif

    EXPECT_NO_THROW(LogIn(service.Port(), ProbeUser, ProbePassword))
        << "a new operator is still served";
}

} // namespace korvel
