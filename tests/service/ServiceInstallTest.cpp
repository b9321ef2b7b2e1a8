// Registration with systemd as a real process: -install and -uninstall write
// and remove the unit files in a folder of the test's own (no systemd is told),
// and every outcome shows in the console, the exit status, the service's
// events and the log file.
#include "support/ConsoleTexts.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>

#include <sys/stat.h>
#include <unistd.h>

namespace korvel::service_install_test {

namespace {

// What the service unit written for a program must say: how systemd starts it,
// the one folder it may write, who it runs as and whether it is restarted.
void ExpectServiceUnitFor(const std::string& unit, const std::string& execStart,
                          const std::string& folder, bool restartOnFailure,
                          const std::string& context)
{
    const auto has = [&](const std::string& line) {
        return ("\n" + unit).find("\n" + line + "\n") != std::string::npos;
    };
    EXPECT_TRUE(has("Description=Tolvanis tlKorvel service")) << context << unit;
    EXPECT_TRUE(has("Type=notify")) << context << unit;
    EXPECT_TRUE(has("ExecStart=" + execStart)) << context << unit;
    EXPECT_TRUE(has("ProtectSystem=strict")) << context << unit;
    EXPECT_TRUE(has("ReadWritePaths=" + folder)) << context << unit;
    EXPECT_TRUE(has("CapabilityBoundingSet=CAP_DAC_OVERRIDE")) << context << unit;
    EXPECT_EQ(unit.find("\nUser="), std::string::npos) << context << "runs as root\n" << unit;
    for (const char* restart : {"StartLimitIntervalSec=0", "Restart=on-failure", "RestartSec=60"})
        EXPECT_EQ(has(restart), restartOnFailure) << context << restart;
    EXPECT_FALSE(std::regex_search(unit, std::regex("@[A-Z_]+@")))
        << context << "every value filled in\n"
        << unit;
}

const char* const TimerUnit = "[Unit]\n"
                              "Description=Delayed start of tlKorvel\n"
                              "\n[Timer]\n"
                              "OnBootSec=120\n"
                              "Unit=tlKorvel.service\n"
                              "\n[Install]\n"
                              "WantedBy=timers.target\n";

int PermissionsOf(const std::string& path)
{
    struct stat status
    {};
    ::stat(path.c_str(), &status);
    return static_cast<int>(status.st_mode & 07777);
}

const char* const SystemdAnalyze = "/usr/bin/systemd-analyze";

// A program copy, a unit folder and an event file of one test.
struct Installation
{
    explicit Installation(const std::string& programFolder = "")
    {
        if (!programFolder.empty())
            ::mkdir((dir.Path() + programFolder).c_str(), 0755);
        program = std::make_unique<InstalledProgram>(dir.Path() + programFolder);
        options.environment["TLKORVEL_SYSTEMD_DIR"] = units.Path();
        options.environment["TLKORVEL_EVENT_LOG"] = events.File("events");
    }
    RunResult Run(const std::string& option) const
    {
        return RunToEnd(program->Path(), {option}, options);
    }
    std::vector<std::string> Events() const { return Lines(events.File("events")); }
    std::vector<std::string> LogLines() const { return LogMessages(program->Log()); }

    TempDir dir;
    TempDir units;
    TempDir events;
    std::unique_ptr<InstalledProgram> program;
    Process::Options options;
};

} // namespace

TEST(ServiceInstall, InstallTwiceThenUninstallTwice)
{
    Installation installation;
    const std::string servicePath = installation.units.File("tlKorvel.service");
    const std::string timerPath = installation.units.File("tlKorvel.timer");
    const std::string program = installation.program->Path();
    const std::string folder = program.substr(0, program.rfind('/'));

    const struct
    {
        std::string option;
        std::string out;
        bool installedAfter;
        std::vector<std::string> events;   // all so far
        std::vector<std::string> logLines; // all so far
    } steps[] = {
        {"-install",
         "Service installed successfully\n",
         true,
         {"information Installed service."},
         {"Installed service."}},
        {"/INSTALL",
         "The service is already installed\n",
         true,
         {"information Installed service."},
         {"Installed service."}},
        {"-uninstall",
         "Service uninstalled successfully\n",
         false,
         {"information Installed service.", "information Deleted service."},
         {"Installed service.", "Deleted service."}},
        {"-uninstall",
         "The service is not installed\n",
         false,
         {"information Installed service.", "information Deleted service."},
         {"Installed service.", "Deleted service."}},
    };
    for (const auto& step : steps) {
        const RunResult result = installation.Run(step.option);
        EXPECT_EQ(result.out, step.out) << step.option;
        EXPECT_EQ(result.exitStatus, 0) << step.option;
        EXPECT_EQ(installation.Events(), step.events) << step.option;
        EXPECT_EQ(installation.LogLines(), step.logLines) << step.option;
        if (step.installedAfter) {
            ExpectServiceUnitFor(ReadFile(servicePath), program, folder, ::geteuid() == 0,
                                 step.option);
            EXPECT_EQ(ReadFile(timerPath), TimerUnit) << step.option;
            EXPECT_EQ(PermissionsOf(servicePath), 0644) << "units are readable by everyone";
        } else {
            EXPECT_FALSE(FileExists(servicePath)) << step.option;
            EXPECT_FALSE(FileExists(timerPath)) << step.option;
        }
    }
}

TEST(ServiceInstall, ExecutablePathKeepsItsLiteralMeaning)
{
    const struct
    {
        std::string folder;
        std::string wordFolder; // as it stands in ExecStart= and ReadWritePaths=
        bool quoted;
    } cases[] = {
        {"plain-name/", "plain-name/", false},
        {"with blank 100%/", "with blank 100%%/", true},
        {"cost$HOME;caf\xc3\xa9/", "cost$HOME;caf\xc3\xa9/", false},
    };
    for (const auto& c : cases) {
        Installation installation(c.folder);
        ASSERT_EQ(installation.Run("-install").exitStatus, 0) << c.folder;
        const std::string folder = installation.dir.Path() + c.wordFolder;
        const std::string folderWord = folder.substr(0, folder.size() - 1);
        const auto word = [&](const std::string& text) {
            return c.quoted ? "\"" + text + "\"" : text;
        };
        ExpectServiceUnitFor(ReadFile(installation.units.File("tlKorvel.service")),
                             word(folder + "tlKorvel"), word(folderWord), ::geteuid() == 0,
                             c.folder);
        // systemd's own reader, where the machine has it, takes both units as they are.
        if (FileExists(SystemdAnalyze)) {
            const RunResult verify = RunToEnd(
                SystemdAnalyze, {"verify", "--man=no", installation.units.File("tlKorvel.service"),
                                 installation.units.File("tlKorvel.timer")});
            EXPECT_EQ(verify.exitStatus, 0) << c.folder << verify.err;
            EXPECT_EQ(verify.err.find("tlKorvel"), std::string::npos) << c.folder << verify.err;
        }
    }
}

TEST(ServiceInstall, FailuresAreReportedThreeWays)
{
    const std::string errorInstalling =
        "Error installing service.  See the application log for details.\n";
    const std::string errorUninstalling =
        "Error uninstalling service.  See the application log for details.\n";
    const auto blockWithFolder = [](const std::string& path) {
        ::mkdir(path.c_str(), 0755);
        WriteFile(path + "/keep", "x");
    };
    const struct
    {
        const char* name;
        std::string programFolder;
        std::function<void(Installation&)> prepare;
        std::string option;
        std::string out;
        int status;
        std::vector<std::string> events;
        std::vector<std::string> logLines;
    } cases[] = {
        {"missing unit folder",
         "",
         [](Installation& i) {
             i.options.environment["TLKORVEL_SYSTEMD_DIR"] = i.units.File("absent");
         },
         "-install",
         errorInstalling,
         255,
         {"error Unable to connect to service control manager during install.  Error "
          "code=0x00000002"},
         {"Unable to connect to service control manager during install."}},
        {"missing unit folder, nothing to remove",
         "",
         [](Installation& i) {
             i.options.environment["TLKORVEL_SYSTEMD_DIR"] = i.units.File("absent");
         },
         "-uninstall",
         "The service is not installed\n",
         0,
         {},
         {}},
        {"service unit that cannot be deleted",
         "",
         [&](Installation& i) { blockWithFolder(i.units.File("tlKorvel.service")); },
         "-uninstall",
         errorUninstalling,
         255,
         {"error Error deleting service during uninstall.  Error code=0x00000015"},
         {"Error deleting service during uninstall."}},
        {"timer unit that cannot be written",
         "",
         [&](Installation& i) { blockWithFolder(i.units.File("tlKorvel.timer")); },
         "-install",
         "Service installed successfully\n",
         0,
         {"error Unable to set service to delayed autostart during install.  Error code=0x00000015",
          "information Installed service."},
         {"Unable to set service to delayed autostart during install.", "Installed service."}},
        {"executable path with quotes",
         "say \"hi\"/",
         [](Installation&) {},
         "-install",
         errorInstalling,
         255,
         {"error Unable to create service during install.  Error code=0x00000016"},
         {"Unable to create service during install."}},
        {"executable path with a backslash",
         "back\\slash/",
         [](Installation&) {},
         "-install",
         errorInstalling,
         255,
         {"error Unable to create service during install.  Error code=0x00000016"},
         {"Unable to create service during install."}},
        {"executable path that is not UTF-8",
         "latin\xe9/",
         [](Installation&) {},
         "-install",
         errorInstalling,
         255,
         {"error Unable to create service during install.  Error code=0x00000016"},
         {"Unable to create service during install."}},
    };
    for (const auto& c : cases) {
        Installation installation(c.programFolder);
        c.prepare(installation);
        const RunResult result = installation.Run(c.option);
        EXPECT_EQ(result.out, c.out) << c.name;
        EXPECT_EQ(result.exitStatus, c.status) << c.name;
        EXPECT_EQ(installation.Events(), c.events) << c.name;
        EXPECT_EQ(installation.LogLines(), c.logLines) << c.name;
        if (c.option == "-install" && c.status != 0) {
            EXPECT_FALSE(FileExists(installation.units.File("tlKorvel.service"))) << c.name;
        }
    }
}

TEST(ServiceInstall, WithoutTheRightToManageServicesTheRestartPolicyIsLeftOut)
{
    if (::geteuid() != 0 || !FileExists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root to run the program as another user";
    Installation installation;
    // The other user reaches the program and writes units and events only.
    ::chmod(installation.dir.Path().c_str(), 0755);
    ::chmod(installation.program->Path().c_str(), 0755);
    ::chmod(installation.units.Path().c_str(), 0777);
    ::chmod(installation.events.Path().c_str(), 0777);

    const RunResult result = RunToEnd("/usr/bin/setpriv",
                                      {"--reuid=65534", "--regid=65534", "--clear-groups",
                                       installation.program->Path(), "-install"},
                                      installation.options);
    EXPECT_EQ(result.out, "Service installed successfully\n") << result.err;
    EXPECT_EQ(result.exitStatus, 0);
    const std::string program = installation.program->Path();
    ExpectServiceUnitFor(ReadFile(installation.units.File("tlKorvel.service")), program,
                         program.substr(0, program.rfind('/')), false, "as nobody");
    EXPECT_EQ(installation.Events(), std::vector<std::string>{"information Installed service."});

    // A unit folder this account may not write refuses the service, with the access-denied code.
    Installation refused;
    ::chmod(refused.dir.Path().c_str(), 0755);
    ::chmod(refused.program->Path().c_str(), 0755);
    ::chmod(refused.units.Path().c_str(), 0755);
    ::chmod(refused.events.Path().c_str(), 0777);
    const RunResult denied = RunToEnd(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", refused.program->Path(), "-install"},
        refused.options);
    EXPECT_EQ(denied.exitStatus, 255) << denied.err;
    EXPECT_EQ(refused.Events(),
              std::vector<std::string>{
                  "error Unable to create service during install.  Error code=0x0000000d"});
    EXPECT_FALSE(FileExists(refused.units.File("tlKorvel.service")));
}

} // namespace korvel::service_install_test
