// cmake --install into a staging folder: the service in its program folder
// beside the link to its configuration, the tools in bin, the systemd units,
// the documentation; and the packaged units are the ones tlKorvel -install
// writes for the installed executable.
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <sstream>

#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

enum class Kind { Executable, File, LinkTo };

// The unit text without the restart policy, which -install writes only for root.
std::string WithoutRestartPolicy(const std::string& unit)
{
    std::istringstream lines(unit);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("StartLimit", 0) != 0 && line.rfind("Restart", 0) != 0)
            kept += line + "\n";
    }
    return kept;
}

} // namespace

TEST(Installation, PutsEachPieceInItsPlace)
{
    TempDir stage;
    Process::Options options;
    options.environment = {{"DESTDIR", stage.Path()}};
    const RunResult install = RunToEnd(CMAKE_COMMAND, {"--install", TLKORVEL_BUILD_DIR}, options);
    ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;

    const std::string program = TLKORVEL_PROGRAM_DIR "/tlKorvel";
    const std::string config = TLKORVEL_CONFIG_DIR "/tlKorvel.xml";
    const std::string units = TLKORVEL_SYSTEMD_UNIT_DIR "/";
    const std::string prefix = TLKORVEL_INSTALL_PREFIX "/";
    const struct
    {
        std::string path;
        Kind kind;
        std::string target; // of a link
    } pieces[] = {
        {program, Kind::Executable, ""},
        {TLKORVEL_PROGRAM_DIR "/tlKorvel.xml", Kind::LinkTo, config},
        {config, Kind::File, ""},
        {prefix + "sbin/tlKorvel", Kind::LinkTo, program},
        {prefix + "bin/korvelctl", Kind::Executable, ""},
        {prefix + "bin/camsim", Kind::Executable, ""},
        {prefix + "bin/nvrsim", Kind::Executable, ""},
        {units + "tlKorvel.service", Kind::File, ""},
        {units + "tlKorvel.timer", Kind::File, ""},
        {prefix + "share/doc/tlkorvel/README.md", Kind::File, ""},
        {prefix + "share/doc/tlkorvel/docs/configuration.md", Kind::File, ""},
        {prefix + "share/doc/tlkorvel/docs/operator-protocol.md", Kind::File, ""},
        {prefix + "share/doc/tlkorvel/docs/demo.md", Kind::File, ""},
        {prefix + "share/doc/tlkorvel/examples/tlKorvel.xml", Kind::File, ""},
    };
    for (const auto& piece : pieces) {
        const fs::path staged = stage.Path() + piece.path;
        const fs::file_status status = fs::symlink_status(staged);
        switch (piece.kind) {
        case Kind::Executable:
            EXPECT_TRUE(fs::is_regular_file(status)) << piece.path;
            EXPECT_TRUE(status.permissions() & fs::owner_exe) << piece.path;
            break;
        case Kind::File:
            EXPECT_TRUE(fs::is_regular_file(status)) << piece.path;
            break;
        case Kind::LinkTo:
            ASSERT_TRUE(fs::is_symlink(status)) << piece.path;
            EXPECT_EQ(fs::read_symlink(staged).string(), piece.target) << piece.path;
            break;
        }
    }
    EXPECT_EQ(ReadFile(stage.Path() + config), ReadFile(TLKORVEL_SOURCE_DIR "/examples/tlKorvel.xml"));

    // The installed program registers itself with the same units.
    TempDir written;
    Process::Options registration;
    registration.environment = {{"TLKORVEL_SYSTEMD_DIR", written.Path()},
                                {"TLKORVEL_EVENT_LOG", written.File("events")}};
    const std::string stagedProgram = stage.Path() + program;
    const RunResult result = RunToEnd(stagedProgram, {"-install"}, registration);
    ASSERT_EQ(result.exitStatus, 0) << result.out;
    std::string service = ReadFile(written.File("tlKorvel.service"));
    const std::string execStart = "ExecStart=" + fs::canonical(stagedProgram).string();
    ASSERT_NE(service.find(execStart), std::string::npos) << service;
    service.replace(service.find(execStart), execStart.size(), "ExecStart=" + program);
    const std::string packaged = ReadFile(stage.Path() + units + "tlKorvel.service");
    EXPECT_EQ(service, ::geteuid() == 0 ? packaged : WithoutRestartPolicy(packaged));
    EXPECT_EQ(ReadFile(written.File("tlKorvel.timer")), ReadFile(stage.Path() + units + "tlKorvel.timer"));
}
