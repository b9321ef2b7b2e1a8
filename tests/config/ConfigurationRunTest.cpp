// The configuration as the running service sees it: a real process with a
// file of its own, its log and its exit status.
#include "support/ConsoleTexts.h"
#include "support/LoopbackListener.h"
#include "support/Process.h"
#include "support/PseudoTerminal.h"
#include "support/ServiceProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace korvel::configuration_run_test {

namespace {

// True when the expected lines occur in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected)
{
    auto next = lines.begin();
    for (const auto& line : expected) {
        next = std::find(next, lines.end(), line);
        if (next == lines.end())
            return false;
        ++next;
    }
    return true;
}

const char* const Banner = "------ Starting tlKorvel version 1.0.14.134927";
const char* const Options = R"(<Options RetryIntervalSecs="1" ClientPort="0" />)";
const char* const Nvr = R"(<NVR Address="127.0.0.1" Port="1" Login="a" Password="b">)";

} // namespace

TEST(ConfigurationRun, UnusableFilesEndTheRunWithTheirLines)
{
    PseudoTerminal line;
    const std::string reading = "Reading config file ";
    const std::string unusable =
        "Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file.";
    // In place of tlKorvel.xml, a file that is not one to read.
    const auto fifo = [](const std::string& path) { ::mkfifo(path.c_str(), 0600); };
    const struct
    {
        const char* name;
        std::string xml; // empty: no file, or the one `make` makes
        int status;
        std::vector<std::string> ending;
        std::function<void(const std::string& path)> make;
    } cases[] = {
        {"missing file", "", 255, {unusable, "Exiting due to configuration file error(s)"}, {}},
        {"a FIFO nobody writes",
         "",
         255,
         {"it is not a regular file", unusable, "Exiting due to configuration file error(s)"},
         fifo},
        {"repeated PelcoNumber",
         std::string("<tlKorvel>") + Options + Nvr +
             R"(<Camera Address="10.0.0.1" PelcoNumber="3" />)"
             R"(<Camera Address="10.0.0.2" PelcoNumber="3" /></NVR></tlKorvel>)",
         255,
         {"Connecting to track camera at 10.0.0.2:1000",
          "*** Error: Configuration has multiple entries with PelcoNumber=3",
          "Exiting due to configuration file error(s)"},
         {}},
        {"DataBits 9",
         std::string("<tlKorvel>") + Options + Nvr + R"(<Camera Address="cam" Port=")" +
             line.SlavePath() + R"(" DataBits="9" /></NVR></tlKorvel>)",
         0,
         {"Exception: invalid character_size value"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        InstalledProgram program(dir.Path());
        if (!c.xml.empty())
            program.WriteConfig(c.xml);
        const std::string path = dir.File("tlKorvel.xml");
        if (c.make)
            c.make(path);
        const RunResult result = RunToEnd(program.Path(), {"-d"});
        EXPECT_EQ(result.exitStatus, c.status);
        const auto lines = LogMessages(program.Log());
        ASSERT_GE(lines.size(), 2 + c.ending.size()) << program.Log();
        EXPECT_EQ(lines[0], Banner);
        EXPECT_EQ(lines[1], reading + path);
        std::vector<std::string> ending = c.ending;
        if (c.make)
            ending.front() = "Not reading " + path + ": " + ending.front();
        EXPECT_EQ(
            std::vector<std::string>(lines.end() - static_cast<long>(ending.size()), lines.end()),
            ending)
            << program.Log();
    }
}

TEST(ConfigurationRun, ServiceConnectsToNetworkAndSerialCameras)
{
    boost::asio::io_context io;
    LoopbackListener camera(io);
    auto work = boost::asio::make_work_guard(io);
    std::thread loop([&] { io.run(); });
    struct Join
    {
        boost::asio::io_context& io;
        std::thread& loop;
        ~Join()
        {
            io.stop();
            loop.join();
        }
    } join{io, loop};
    PseudoTerminal line;

    const std::string port = std::to_string(camera.Port());
    ServiceProcess service(std::string("<tlKorvel>") + Options + "<KorvelControl />" + Nvr +
                           R"(<Camera Address="127.0.0.1" PelcoNumber="1" Port=")" + port +
                           R"(" />)" +
                           R"(<Camera Address="dome" PelcoNumber="2" BaudRate="9600" Port=")" +
                           line.SlavePath() + R"(" /></NVR></tlKorvel>)");

    ASSERT_TRUE(WaitUntil([&] { return camera.Connections() == 1; })) << service.Log();
    const std::vector<std::string> expected = {
        Banner, "Reading config file " + service.Directory() + "tlKorvel.xml",
        "Loaded config for server at 127.0.0.1", "Connecting to track camera at 127.0.0.1:" + port,
        "Connecting to analog track camera on serial port " + line.SlavePath()};
    EXPECT_TRUE(InOrder(LogMessages(service.Log()), expected)) << service.Log();
    const termios settings = line.SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&settings), B9600);

    EXPECT_TRUE(service.Stop()) << service.Stderr();
}

} // namespace korvel::configuration_run_test
