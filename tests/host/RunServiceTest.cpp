// The foreground run as a real process: banner, log placement, stop on
// SIGTERM and SIGINT, reload on SIGHUP, and the log's fallback to standard
// error.
#include "support/ConsoleTexts.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>

namespace korvel::run_service_test {

namespace {

const char* const Banner = "------ Starting tlKorvel version 1.0.14.134927";

const char* const QuietConfig = R"(<?xml version="1.0"?>
<tlKorvel>
  <Options RetryIntervalSecs="1" ClientAddress="127.0.0.1" ClientPort="0" />
  <KorvelControl LockTime="5" />
</tlKorvel>
)";

} // namespace

TEST(RunService, StopSignalsEndTheForegroundRunWithStatusZero)
{
    for (int signal : {SIGTERM, SIGINT}) {
        TempDir dir;
        TempDir elsewhere;
        InstalledProgram program(dir.Path());
        program.WriteConfig(QuietConfig);
        Process::Options options;
        options.workingDirectory = elsewhere.Path();
        Process service(program.Path(), {"-d", "ignored", "arguments"}, options);

        ASSERT_TRUE(WaitUntil([&] { return program.Log().find(Banner) != std::string::npos; }))
            << program.Log();
        service.Signal(signal);
        ASSERT_TRUE(service.Wait());
        EXPECT_FALSE(service.Signalled());
        EXPECT_EQ(service.ExitStatus(), 0);
        EXPECT_EQ(service.Stdout(), "Running in debug command line mode\n");
        EXPECT_EQ(program.Log().rfind("[ ", 0), 0u) << "lines carry the time stamp";
        EXPECT_FALSE(FileExists(elsewhere.File("tlKorvel.log")))
            << "the log lives beside the executable, not in the working directory";
    }
}

TEST(RunService, HangupReloadsTheForegroundRunWhichGoesOn)
{
    const std::string reloaded = "Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 "
                                 "cameras added, 0 cameras removed, 0 cameras changed, 0 NVRs "
                                 "changed.";
    TempDir dir;
    InstalledProgram program(dir.Path());
    program.WriteConfig(QuietConfig);
    Process service(program.Path(), {"-d"});
    const auto reloads = [&] {
        const std::vector<std::string> log = LogMessages(program.Log());
        return std::count(log.begin(), log.end(), reloaded);
    };
    ASSERT_TRUE(WaitUntil([&] { return program.Log().find(Banner) != std::string::npos; }));

    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return reloads() == 1; })) << program.Log();
    // Each request is followed by a reload; two at once may share one.
    service.Signal(SIGHUP);
    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return reloads() >= 2; })) << program.Log();
    EXPECT_TRUE(service.Running());

    service.Signal(SIGTERM);
    ASSERT_TRUE(service.Wait());
    EXPECT_FALSE(service.Signalled());
    EXPECT_EQ(service.ExitStatus(), 0);
    EXPECT_LE(reloads(), 3) << program.Log();
    EXPECT_EQ(service.Stdout(), "Running in debug command line mode\n");
}

TEST(RunService, UnopenableLogFallsBackToStandardErrorWithoutPrefix)
{
    TempDir dir;
    InstalledProgram program(dir.Path());
    program.WriteConfig(QuietConfig);
    ASSERT_EQ(::mkdir(program.LogPath().c_str(), 0755), 0);
    Process service(program.Path(), {"-d"});
    ASSERT_TRUE(WaitUntil([&] { return service.Stderr().find(Banner) != std::string::npos; }))
        << service.Stderr();
    EXPECT_EQ(service.Stderr().rfind(Banner, 0), 0u) << "no time stamp on standard error";
    service.Signal(SIGTERM);
    ASSERT_TRUE(service.Wait());
    EXPECT_EQ(service.ExitStatus(), 0);
}

TEST(RunService, OversizedLogIsRotatedBeforeTheBanner)
{
    TempDir dir;
    InstalledProgram program(dir.Path());
    program.WriteConfig(QuietConfig);
    WriteFile(program.LogPath(), std::string(1048577, 'x'));
    WriteFile(program.LogPath() + ".old", "older\n");
    Process service(program.Path(), {"-d"});
    ASSERT_TRUE(WaitUntil([&] { return program.Log().find(Banner) != std::string::npos; }));
    service.Signal(SIGTERM);
    ASSERT_TRUE(service.Wait());
    EXPECT_EQ(ReadFile(program.LogPath() + ".old").size(), 1048577u);
    EXPECT_EQ(program.Log().find(Banner), 25u) << "the banner is the new file's first line";
}

} // namespace korvel::run_service_test
