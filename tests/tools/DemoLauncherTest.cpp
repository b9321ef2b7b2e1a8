// The demo launcher (scripts/demo.sh, run by make demo) as a newcomer uses
// it: it starts everything, tells how to connect, passes typed lines to
// nvrsim, shows what camsim receives, and stopping it leaves no process
// behind.
#include "SystemProcesses.h"

#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <csignal>

namespace korvel::demo_launcher_test {

namespace {

// Processes whose working folder is inside the given one (the launcher runs
// everything in its run folder), as "pid name".
std::vector<std::string> ProcessesWorkingIn(const std::string& folder)
{
    std::vector<std::string> found;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code linkError;
        const std::string cwd =
            std::filesystem::read_symlink(entry->path() / "cwd", linkError).string() + "/";
        if (!linkError && cwd.rfind(folder, 0) == 0)
            found.push_back(name + " " + ReadFile(entry->path().string() + "/comm"));
    }
    return found;
}

// When a check fails half-way: stops the launcher as Ctrl-C would, and kills
// whatever of its programs is left, so that nothing outlives the test.
struct StopWhenDone
{
    Process& launcher;
    std::string runFolder;
    ~StopWhenDone()
    {
        if (launcher.Running()) {
            launcher.Signal(SIGTERM);
            launcher.Wait(std::chrono::seconds(30));
        }
        for (const std::string& process : ProcessesWorkingIn(runFolder))
            ::kill(std::stoi(process), SIGKILL);
    }
};

} // namespace

TEST(DemoLauncher, RunsTheSystemAndAStopLeavesNothingBehind)
{
    TempDir runFolder;
    const std::string port = std::to_string(UnusedPort());
    const std::string statusPort = std::to_string(UnusedPort());
    Process::Options options;
    options.stdinPipe = true;
    options.environment = {{"TLKORVEL_DEMO_DIR", runFolder.Path()},
                           {"TLKORVEL_DEMO_PORT", port},
                           {"TLKORVEL_DEMO_STATUS_PORT", statusPort}};
    Process launcher(TLKORVEL_SOURCE_DIR "/scripts/demo.sh", {TLKORVEL_BUILD_DIR}, options);
    StopWhenDone stopWhenDone{launcher, runFolder.Path()};

    // The instructions end with how to stop.
    ASSERT_TRUE(WaitUntil(
        [&] { return launcher.Stdout().find(" Ctrl-C stops everything.") != std::string::npos; },
        std::chrono::seconds(60)))
        << launcher.Stdout() << launcher.Stderr();
    const std::string banner = launcher.Stdout();
    for (const std::string& text :
         {"operators connect to 127.0.0.1:" + port,
          std::string(KORVELCTL_BINARY) + " 127.0.0.1:" + port, std::string("login operator demo"),
          std::string("fire KORVEL_7"), "status page http://127.0.0.1:" + statusPort + "/"})
        EXPECT_NE(banner.find(text), std::string::npos) << text << " missing in:\n" << banner;

    // What the printed lines say to do works.
    const RunResult korvelctl = RunToEnd(
        KORVELCTL_BINARY, {"127.0.0.1:" + port, "--run", "login operator demo; cam 2; left 20"});
    EXPECT_EQ(korvelctl.exitStatus, 0) << korvelctl.out << korvelctl.err;
    EXPECT_NE(ReadFile(runFolder.File("audit.log")).find(R"("event":"login",)"), std::string::npos)
        << "the demo keeps an audit trail";
    EXPECT_TRUE(WaitUntil([&] {
        return launcher.Stdout().find(
                   "camera 2 Pelco-D [FF 02 00 04 14 00 1A] pan left at speed 20") !=
               std::string::npos;
    })) << launcher.Stdout();
    launcher.WriteStdin("fire KORVEL_12\n");
    EXPECT_TRUE(WaitUntil([&] {
        return launcher.Stdout().find("nvrsim  | fired ") != std::string::npos;
    })) << launcher.Stdout();

    // Ctrl-C and SIGTERM take the same way out; SIGINT would be lost on a
    // launcher started with SIGINT ignored, as background jobs are.
    launcher.Signal(SIGTERM);
    ASSERT_TRUE(launcher.Wait());
    EXPECT_EQ(launcher.ExitStatus(), 0) << launcher.Stderr();
    // The programs' last words reach the terminal, and no program is left.
    for (const char* text : {"log     | [", "Closing connection to NVR at 127.0.0.1.",
                             "camsim  | frames: 1, bad checksums: 0", "demo    | stopped"}) {
        EXPECT_TRUE(WaitUntil([&] {
            return FindInOrder(launcher.Stdout(), {"demo    | stopping", text}) !=
                   std::string::npos;
        })) << text
            << " missing after the stop in:\n"
            << launcher.Stdout();
    }
    EXPECT_TRUE(WaitUntil([&] { return ProcessesWorkingIn(runFolder.Path()).empty(); }))
        << ::testing::PrintToString(ProcessesWorkingIn(runFolder.Path()));
}

} // namespace korvel::demo_launcher_test
