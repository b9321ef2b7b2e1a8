// cmake --install into a staging folder: the service in its program folder
// beside the link to its configuration, the tools in bin, the systemd units,
// the documentation and the manual pages; and the packaged units share
// everything but the account with those tlKorvel -install writes.
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <regex>
#include <sstream>

namespace korvel::installation_test {

namespace fs = std::filesystem;

namespace {

enum class Kind
{
    Executable,
    File,
    LinkTo
};

// The unit without the lines that depend on who runs the service and where
// its program stands: the packaged unit runs as its own account, the one
// -install writes as root for the program where it is (and, unless written by
// root, without the restart policy).
std::string SharedPart(const std::string& unit)
{
    static const std::regex ownLine(
        "(#|User=|Group=|SupplementaryGroups=|CapabilityBoundingSet=|Documentation=|"
        "ExecStart=|ReadWritePaths=|PrivateTmp=|StartLimit|Restart).*");
    std::istringstream lines(unit);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_match(line, ownLine))
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
        {prefix + "share/doc/tlkorvel/copyright", Kind::File, ""},
        {prefix + "share/doc/tlkorvel/changelog.gz", Kind::File, ""},
        {prefix + "share/man/man8/tlKorvel.8.gz", Kind::File, ""},
        {prefix + "share/man/man1/korvelctl.1.gz", Kind::File, ""},
        {prefix + "share/man/man1/camsim.1.gz", Kind::File, ""},
        {prefix + "share/man/man1/nvrsim.1.gz", Kind::File, ""},
    };
    for (const auto& piece : pieces) {
        const fs::path staged = stage.Path() + piece.path;
        const fs::file_status status = fs::symlink_status(staged);
        switch (piece.kind) {
        case Kind::Executable:
            EXPECT_TRUE(fs::is_regular_file(status)) << piece.path;
            EXPECT_TRUE((status.permissions() & fs::perms::owner_exec) != fs::perms::none)
                << piece.path;
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
    EXPECT_EQ(ReadFile(stage.Path() + config),
              ReadFile(TLKORVEL_SOURCE_DIR "/examples/tlKorvel.xml"));

    // The installed program registers itself with units from the same templates.
    TempDir written;
    Process::Options registration;
    registration.environment = {{"TLKORVEL_SYSTEMD_DIR", written.Path()},
                                {"TLKORVEL_EVENT_LOG", written.File("events")}};
    const RunResult result = RunToEnd(stage.Path() + program, {"-install"}, registration);
    ASSERT_EQ(result.exitStatus, 0) << result.out;
    const std::string packaged = ReadFile(stage.Path() + units + "tlKorvel.service");
    const std::string packagedLines[] = {"ExecStart=" + program,
                                         "ReadWritePaths=" TLKORVEL_PROGRAM_DIR, "User=tlkorvel",
                                         "PrivateTmp=yes", "Restart=on-failure"};
    for (const std::string& line : packagedLines)
        EXPECT_NE(packaged.find("\n" + line + "\n"), std::string::npos) << line << "\n" << packaged;
    EXPECT_EQ(SharedPart(ReadFile(written.File("tlKorvel.service"))), SharedPart(packaged));
    EXPECT_EQ(ReadFile(written.File("tlKorvel.timer")),
              ReadFile(stage.Path() + units + "tlKorvel.timer"));
}

} // namespace korvel::installation_test
