// The program as systemd runs it: a notification socket of the test's own
// stands for the service manager, signals carry its control requests, and a
// file receives the service's events.
#include "NotifySocket.h"
#include "support/ConsoleTexts.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::service_control_test {

namespace {

// Two NVRs whose addresses sort differently as text and as numbers; nothing
// listens on their port, so their workers only retry.
const char* const TwoNvrConfig = R"(<?xml version="1.0"?>
<tlKorvel>
  <Options RetryIntervalSecs="1" ClientAddress="127.0.0.1" ClientPort="0" />
  <KorvelControl LockTime="5" />
  <NVR Address="127.0.0.9" Port="1" Login="admin" Password="" />
  <NVR Address="127.0.0.10" Port="1" Login="admin" Password="" />
</tlKorvel>
)";

const std::string Started = "information Service started.";
const std::string Stopped = "information Service stopped.";

std::string Unrecognised(const std::string& code, const std::string& hex)
{
    return "error Service handle called with unrecognized option code = " + code +
           "  Error code=0x" + hex;
}

void QueueControl(pid_t pid, int code)
{
    sigval value{};
    value.sival_int = code;
    ASSERT_EQ(::sigqueue(pid, SIGRTMIN, value), 0);
}

struct ServiceRun
{
    explicit ServiceRun(const std::string& config = TwoNvrConfig) : notify(dir.File("notify"))
    {
        program.WriteConfig(config);
        Process::Options options;
        options.environment["NOTIFY_SOCKET"] = notify.Path();
        options.environment["TLKORVEL_EVENT_LOG"] = EventPath();
        process = std::make_unique<Process>(program.Path(), std::vector<std::string>{}, options);
    }
    std::string EventPath() const { return dir.File("events"); }
    std::vector<std::string> Events() const { return Lines(EventPath()); }
    bool AwaitEvents(const std::vector<std::string>& expected) const
    {
        return WaitUntil([&] { return Events().size() >= expected.size(); }) &&
               Events() == expected;
    }

    TempDir dir;
    InstalledProgram program{dir.Path()};
    NotifySocket notify;
    std::unique_ptr<Process> process;
};

} // namespace

TEST(ServiceControl, StopSignalEndsTheServiceCleanly)
{
    for (const int stopSignal : {SIGTERM, SIGINT}) {
        ServiceRun run;
        ASSERT_TRUE(run.notify.WaitForLine("READY=1")) << run.notify.Received();
        EXPECT_NE(run.notify.Received().find("MAINPID=" + std::to_string(run.process->Pid())),
                  std::string::npos)
            << run.notify.Received();
        EXPECT_TRUE(run.AwaitEvents({Started}));

        run.process->Signal(stopSignal);
        EXPECT_TRUE(run.notify.WaitForLine("STOPPING=1")) << run.notify.Received();
        ASSERT_TRUE(run.process->Wait());
        EXPECT_FALSE(run.process->Signalled());
        EXPECT_EQ(run.process->ExitStatus(), 0);
        EXPECT_EQ(run.process->Stdout(), MustRunLine + UsageBlock) << "no hint under systemd";
        EXPECT_EQ(run.Events(), (std::vector<std::string>{Started, Stopped}));

        const std::vector<std::string> log = LogMessages(run.program.Log());
        const auto stopLine =
            std::find(log.begin(), log.end(), "Received Stop request from Service Control Manager");
        ASSERT_NE(stopLine, log.end()) << run.program.Log();
        std::vector<std::string> closeLines;
        std::copy_if(stopLine, log.end(), std::back_inserter(closeLines),
                     [](const std::string& line) {
                         return line.rfind("Closing connection to NVR at ", 0) == 0;
                     });
        EXPECT_EQ(closeLines, (std::vector<std::string>{"Closing connection to NVR at 127.0.0.10.",
                                                        "Closing connection to NVR at 127.0.0.9."}))
            << run.program.Log();
    }
}

TEST(ServiceControl, OtherControlCodesLeaveTheServiceRunning)
{
    ServiceRun run;
    ASSERT_TRUE(run.notify.WaitForLine("READY=1")) << run.notify.Received();
    const pid_t pid = run.process->Pid();

    const struct
    {
        const char* name;
        std::function<void()> send;
        std::vector<std::string> newEvents;
    } cases[] = {
        {"interrogate", [&] { QueueControl(pid, 4); }, {}},
        {"queued user code 200",
         [&] { QueueControl(pid, 200); },
         {Unrecognised("200", "000000c8")}},
        {"real-time signal 3",
         [&] { run.process->Signal(SIGRTMIN + 3); },
         {Unrecognised("131", "00000083")}},
        {"queued code 128", [&] { QueueControl(pid, 128); }, {Unrecognised("128", "00000080")}},
    };
    std::vector<std::string> expected{Started};
    for (const auto& c : cases) {
        c.send();
        expected.insert(expected.end(), c.newEvents.begin(), c.newEvents.end());
        // An interrogation leaves no trace: the next case shows it was taken.
        if (!c.newEvents.empty()) {
            EXPECT_TRUE(run.AwaitEvents(expected)) << c.name;
        }
        EXPECT_TRUE(run.process->Running()) << c.name;
    }

    run.process->Signal(SIGTERM);
    ASSERT_TRUE(run.process->Wait());
    EXPECT_EQ(run.process->ExitStatus(), 0);
    expected.push_back(Stopped);
    EXPECT_EQ(run.Events(), expected);
}

std::uint64_t MonotonicMicroseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// systemctl reload: SIGHUP, answered by RELOADING=1 with the time the reload
// starts, and once it is done by READY=1 with its summary as the status.
TEST(ServiceControl, HangupReloadsAndTellsTheServiceManagerWhenDone)
{
    const std::string reloaded = "Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 "
                                 "cameras added, 0 cameras removed, 0 cameras changed, 0 NVRs "
                                 "changed.";
    ServiceRun run;
    ASSERT_TRUE(run.notify.WaitForLine("READY=1")) << run.notify.Received();
    const std::size_t started = run.notify.Received().size();
    const std::uint64_t sent = MonotonicMicroseconds();
    run.process->Signal(SIGHUP);
    ASSERT_TRUE(run.notify.WaitForLine("STATUS=" + reloaded)) << run.notify.Received();

    const std::string reload = run.notify.Received().substr(started);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(reload, match,
                                 std::regex("RELOADING=1\nSTATUS=Reloading\nMONOTONIC_USEC=([0-9]+)"
                                            "\n--\nREADY=1\nSTATUS=Reloaded .*\n--\n")))
        << reload;
    EXPECT_LE(sent, std::stoull(match[1]));
    EXPECT_LE(std::stoull(match[1]), MonotonicMicroseconds());
    const std::vector<std::string> log = LogMessages(run.program.Log());
    EXPECT_EQ(std::count(log.begin(), log.end(), reloaded), 1) << run.program.Log();

    run.process->Signal(SIGTERM);
    ASSERT_TRUE(run.process->Wait());
    EXPECT_EQ(run.process->ExitStatus(), 0);
    EXPECT_EQ(run.Events(), (std::vector<std::string>{Started, Stopped}));
}

// A run that ends by itself must not leave systemd believing the service runs.
TEST(ServiceControl, RunThatEndsByItselfEndsTheProcessWithAFailureStatus)
{
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);

    ServiceRun run(R"(<?xml version="1.0"?>
<tlKorvel><Options ClientAddress="127.0.0.1" ClientPort=")" +
                   std::to_string(ntohs(address.sin_port)) + R"(" /></tlKorvel>
)");
    ASSERT_TRUE(run.process->Wait());
    ::close(taken);
    EXPECT_FALSE(run.process->Signalled());
    EXPECT_EQ(run.process->ExitStatus(), 1);
    EXPECT_TRUE(run.notify.WaitForLine("STOPPING=1")) << run.notify.Received();
    EXPECT_LT(run.notify.Received().find("READY=1"), run.notify.Received().find("STOPPING=1"));
    EXPECT_EQ(run.Events(),
              (std::vector<std::string>{Started, "error Service run ended unexpectedly."}));
    EXPECT_NE(run.program.Log().find("Exception: bind: Address already in use"), std::string::npos)
        << run.program.Log();
}

// A configuration the run cannot use ends the process as in the foreground,
// with nothing more said to the service manager.
TEST(ServiceControl, UnusableConfigurationEndsTheProcessWithStatus255)
{
    ServiceRun run("<tlKorvel><Options></tlKorvel>");
    ASSERT_TRUE(run.process->Wait());
    EXPECT_EQ(run.process->ExitStatus(), 255);
    EXPECT_EQ(run.Events(), std::vector<std::string>{Started});
    EXPECT_EQ(run.notify.Received().find("STOPPING=1"), std::string::npos);
    const std::vector<std::string> log = LogMessages(run.program.Log());
    ASSERT_GE(log.size(), 2u) << run.program.Log();
    EXPECT_EQ(log[log.size() - 2],
              "Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file.");
    EXPECT_EQ(log.back(), "Exiting due to configuration file error(s)");
}

TEST(ServiceControl, WithoutServiceManagerPrintsTheHint)
{
    const struct
    {
        const char* name;
        std::function<void(Process::Options&)> environment;
    } cases[] = {
        {"no notification socket",
         [](Process::Options& o) { o.unsetEnvironment = {"NOTIFY_SOCKET"}; }},
        {"empty notification socket",
         [](Process::Options& o) { o.environment["NOTIFY_SOCKET"] = ""; }},
    };
    for (const auto& c : cases) {
        TempDir dir;
        InstalledProgram program(dir.Path());
        Process::Options options;
        options.environment["TLKORVEL_EVENT_LOG"] = dir.File("events");
        c.environment(options);
        const RunResult result = RunToEnd(program.Path(), {}, options);
        EXPECT_EQ(result.out, MustRunLine + UsageBlock + NotStartedHint) << c.name;
        EXPECT_EQ(result.exitStatus, 1063 & 0xff) << c.name;
        EXPECT_FALSE(FileExists(dir.File("events"))) << c.name;
        EXPECT_FALSE(FileExists(program.LogPath())) << c.name;
    }
}

} // namespace korvel::service_control_test
