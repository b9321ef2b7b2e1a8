// The executable's options, console texts and exit statuses, run as a real
// process from a folder of its own.
#include "support/ConsoleTexts.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace korvel::command_line_test {

namespace {

const std::string& Usage = UsageBlock;
const std::string& MustRun = MustRunLine;
const std::string& Hint = NotStartedHint;

} // namespace

TEST(CommandLine, OptionsThatPrintTextOnly)
{
    TempDir dir;
    InstalledProgram program(dir.Path());
    Process::Options options;
    options.unsetEnvironment = {"NOTIFY_SOCKET"};
    const struct
    {
        std::vector<std::string> arguments;
        std::string out;
        int status;
    } cases[] = {
        {{"-x"}, Usage, 0},
        {{"-"}, Usage, 0},
        {{"/"}, Usage, 0},
        {{"--install"}, Usage, 0},
        {{"-i"}, Usage, 0},
        {{"/dd"}, Usage, 0},
        {{}, MustRun + Usage + Hint, 1063 & 0xff},
        {{"install"}, MustRun + Usage + Hint, 1063 & 0xff},
        {{"d", "-d"}, MustRun + Usage + Hint, 1063 & 0xff},
    };
    for (const auto& c : cases) {
        const RunResult result = RunToEnd(program.Path(), c.arguments, options);
        const std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(result.out, c.out) << label;
        EXPECT_EQ(result.exitStatus, c.status) << label;
    }
    EXPECT_FALSE(FileExists(program.LogPath())) << "printing usage logs nothing";
}

TEST(CommandLine, InstallAndUninstallWordsIgnoreCaseAndPrefix)
{
    TempDir dir;
    InstalledProgram program(dir.Path());
    TempDir units;
    Process::Options options;
    options.environment["TLKORVEL_SYSTEMD_DIR"] = units.Path();
    for (const std::string word :
         {"-INSTALL", "/Install", "-install", "-Uninstall", "/UNINSTALL"}) {
        const RunResult result = RunToEnd(program.Path(), {word}, options);
        EXPECT_EQ(result.out.find("Service management options"), std::string::npos) << word;
        EXPECT_EQ(result.out.find("Must be run"), std::string::npos) << word;
    }
}

} // namespace korvel::command_line_test
