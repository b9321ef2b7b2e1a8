// What a reload changes: two loaded files in, the changes in the order the
// run makes them, each with its log line, out.
#include "config/ConfigurationChanges.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::configuration_changes_test {

namespace {

const std::string Users = R"(<User Name="ann" Password="a" Priority="5" />
                             <User Name="bob" Password="b" Priority="3" />)";
const std::string Nvr = R"(<NVR Address="10.0.0.1" Port="22609" Login="op" Password="pw">)";
const std::string Front = R"(<Camera Address="10.0.1.1" Port="4001" PelcoNumber="1" />)";
const std::string Back = R"(<Camera Address="10.0.1.2" Port="4001" PelcoNumber="2" />)";
const std::string Serial = R"(<Camera Address="7" Port="/dev/ttyS0" PelcoNumber="7" />)";

Configuration Load(const std::string& options, const std::string& control,
                   const std::string& nvrs)
{
    const LoadedConfiguration loaded = LoadConfiguration(
        "tlKorvel.xml", "<tlKorvel><Options " + options + " /><KorvelControl " + control + ">" +
                            Users + "</KorvelControl>" + nvrs + "</tlKorvel>");
    EXPECT_TRUE(loaded.usable);
    return loaded.configuration;
}

Configuration WithCameras(const std::string& cameras, const std::string& nvr = Nvr)
{
    return Load("", "", nvr + cameras + "</NVR>");
}

// The changes as the log and the run see them.
std::vector<std::string> Describe(const ConfigurationChanges& changes)
{
    std::vector<std::string> lines;
    for (const std::string& line : changes.refusal)
        lines.push_back("refused: " + line);
    for (const auto& change : changes.settings)
        lines.push_back(change.line);
    for (const auto& change : changes.users)
        lines.push_back(change.line);
    for (const auto& change : changes.cameras)
        lines.push_back(change.line);
    for (const auto& change : changes.nvrs)
        lines.push_back(change.line);
    const struct
    {
        bool set;
        const char* text;
    } flags[] = {{changes.clientListener, "client listener"},
                 {changes.statusServer, "status server"},
                 {changes.auditTrail, "audit trail"},
                 {changes.cameraAddresses, "NVRs look at their cameras again"}};
    for (const auto& flag : flags) {
        if (flag.set)
            lines.push_back(flag.text);
    }
    return lines;
}

} // namespace

TEST(ConfigurationChanges, EachKindOfChangeAndCombinations)
{
    const Configuration base = WithCameras(Front + Back);
    const auto withUsers = [](const std::string& users) {
        Configuration next = WithCameras(Front + Back);
        next.control.users.clear();
        const LoadedConfiguration loaded = LoadConfiguration(
            "x", "<tlKorvel><KorvelControl>" + users + "</KorvelControl></tlKorvel>");
        next.control.users = loaded.configuration.control.users;
        return next;
    };
    const auto withDirectory = [&base](const DirectorySettings& directory) {
        Configuration next = base;
        next.control.directory = directory;
        return next;
    };
    const struct
    {
        const char* name;
        Configuration running;
        Configuration next;
        std::vector<std::string> changes;
    } cases[] = {
        {"the same file", base, WithCameras(Front + Back), {}},
        {"a user added",
         base,
         withUsers(Users + R"(<User Name="cat" Password="c" Priority="1" />)"),
         {"User cat added"}},
        {"a user removed",
         base,
         withUsers(R"(<User Name="ann" Password="a" Priority="5" />)"),
         {"User bob removed; ending its sessions"}},
        {"a password and a priority changed",
         base,
         withUsers(R"(<User Name="ann" Password="new" Priority="5" />
                      <User Name="bob" Password="b" Priority="9" />)"),
         {"Password of user ann changed; ending its sessions",
          "Priority of user bob changed from 3 to 9"}},
        {"both changed for one user: both said, together",
         base,
         withUsers(R"(<User Name="ann" Password="x" Priority="1" />
                      <User Name="bob" Password="b" Priority="3" />)"),
         {"Password of user ann changed; ending its sessions",
          "Priority of user ann changed from 5 to 1"}},
        {"settings that apply when next needed",
         base,
         Load(R"(RetryIntervalSecs="3" MaxSessions="20")",
              R"(LockTime="9" RequireLogin="1" LoginThrottle="0")", Nvr + Front + Back + "</NVR>"),
         {"LockTime changed from 5 to 9 seconds", "RetryIntervalSecs changed from 10 to 3 seconds",
          "MaxSessions changed from 1000 to 20", "RequireLogin changed from 0 to 1",
          "LoginThrottle changed from 1 to 0"}},
        {"a password hash in place of the password",
         base,
         withUsers(R"(<User Name="ann" PasswordHash="$2b$05$cQyzlsdzBU08N7b9NDTzheWMj78X8s0LwgiJfRSyRS.lVMlTMnuWW" Priority="5" />
                      <User Name="bob" Password="b" Priority="3" />)"),
         {"Password of user ann changed; ending its sessions"}},
        {"directory accounts on", base, withDirectory({"tlkorvel", {{"g", 3, false}}}),
         {"Directory accounts through service tlkorvel with 1 group from the next LOGIN"}},
        {"a group's supervisor right", withDirectory({"tlkorvel", {{"g", 3, false}}}),
         withDirectory({"tlkorvel", {{"g", 3, true}}}),
         {"Directory accounts through service tlkorvel with 1 group from the next LOGIN"}},
        {"directory accounts off", withDirectory({"tlkorvel", {}}), base,
         {"Directory accounts off from the next LOGIN"}},
        {"listener, status server and audit trail",
         base,
         Load(R"(ClientPort="6000" StatusPort="8080")", R"(AuditFile="audit.log")",
              Nvr + Front + Back + "</NVR>"),
         {"client listener", "status server", "audit trail"}},
        {"only the status token",
         Load(R"(StatusPort="8080")", "", ""),
         Load(R"(StatusPort="8080" StatusToken="t")", "", ""),
         {"status server"}},
        {"a camera added",
         base,
         WithCameras(Front + Back + Serial),
         {"Track camera at 7 added (PelcoNumber 7)", "NVRs look at their cameras again"}},
        {"a camera removed",
         base,
         WithCameras(Back),
         {"Track camera at 10.0.1.1 removed (PelcoNumber 1)", "NVRs look at their cameras again"}},
        {"a camera's port, Pelco number or line changed: the NVRs need not look again",
         WithCameras(Front + Back + Serial),
         WithCameras(R"(<Camera Address="10.0.1.1" Port="4002" PelcoNumber="1" />
                        <Camera Address="10.0.1.2" Port="4001" PelcoNumber="3" />
                        <Camera Address="7" Port="/dev/ttyS0" PelcoNumber="7" BaudRate="9600" />)"),
         {"Track camera at 10.0.1.1 changed; starting it again (PelcoNumber 1)",
          "Track camera at 10.0.1.2 changed; starting it again (PelcoNumber 3)",
          "Track camera at 7 changed; starting it again (PelcoNumber 7)"}},
        {"two cameras swap their Pelco numbers",
         base,
         WithCameras(R"(<Camera Address="10.0.1.1" Port="4001" PelcoNumber="2" />
                        <Camera Address="10.0.1.2" Port="4001" PelcoNumber="1" />)"),
         {"Track camera at 10.0.1.1 changed; starting it again (PelcoNumber 2)",
          "Track camera at 10.0.1.2 changed; starting it again (PelcoNumber 1)"}},
        {"a camera moved to another NVR element is the same camera",
         base,
         Load("", "",
              Nvr + Front + "</NVR>" +
                  R"(<NVR Address="10.0.0.2" Port="22609" Login="op" Password="pw">)" + Back +
                  "</NVR>"),
         {"NVR at 10.0.0.2 added"}},
        {"a camera repeated under its Address changes nothing",
         base,
         WithCameras(Front + Back + R"(<Camera Address="10.0.1.1" Port="9" PelcoNumber="9" />)"),
         {}},
        {"an NVR's password changed: its cameras stay",
         base,
         WithCameras(Front + Back,
                     R"(<NVR Address="10.0.0.1" Port="22609" Login="op" Password="new">)"),
         {"NVR at 10.0.0.1 changed; logging in again"}},
        {"an NVR removed with its cameras",
         base,
         Load("", "", ""),
         {"Track camera at 10.0.1.1 removed (PelcoNumber 1)",
          "Track camera at 10.0.1.2 removed (PelcoNumber 2)", "NVR at 10.0.0.1 removed",
          "NVRs look at their cameras again"}},
        {"a user and a camera added, a camera removed, an NVR's password changed",
         base,
         [] {
             Configuration next =
                 WithCameras(Front + Serial,
                             R"(<NVR Address="10.0.0.1" Port="22609" Login="op" Password="x">)");
             next.control.users.emplace("cat", UserAccount{"cat", "c", 1});
             return next;
         }(),
         {"User cat added", "Track camera at 10.0.1.2 removed (PelcoNumber 2)",
          "Track camera at 7 added (PelcoNumber 7)", "NVR at 10.0.0.1 changed; logging in again",
          "NVRs look at their cameras again"}},
        {"a serial camera to be built whose DataBits no line takes: nothing changes",
         base,
         [] {
             Configuration next = WithCameras(
                 Back + R"(<Camera Address="7" Port="/dev/ttyS0" PelcoNumber="7" DataBits="9" />)");
             next.control.users.clear();
             return next;
         }(),
         {"refused: Invalid DataBits value for camera at 7:/dev/ttyS0"}},
        {"such a camera left as it runs is no reason to refuse",
         WithCameras(Front + R"(<Camera Address="7" Port="/dev/ttyS0" PelcoNumber="7" DataBits="9" />)"),
         WithCameras(Back + R"(<Camera Address="7" Port="/dev/ttyS0" PelcoNumber="7" DataBits="9" />)"),
         {"Track camera at 10.0.1.1 removed (PelcoNumber 1)",
          "Track camera at 10.0.1.2 added (PelcoNumber 2)", "NVRs look at their cameras again"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Describe(CompareConfigurations(c.running, c.next)), c.changes) << c.name;
}

TEST(ConfigurationChanges, CountsForTheSummaryAndTheSettingsToApply)
{
    const Configuration running = WithCameras(Front + Back);
    Configuration next = WithCameras(Back + Serial);
    next.control.users.erase("ann");
    next.control.users.emplace("cat", UserAccount{"cat", "", 0});
    next.control.users.emplace("dan", UserAccount{"dan", "", 0});
    next.control.users.at("bob").priority = 1;

    const ConfigurationChanges changes = CompareConfigurations(running, next);
    using User = ConfigurationChanges::User::Kind;
    using Camera = ConfigurationChanges::Camera::Kind;
    EXPECT_EQ(changes.Count(User::Added), 2u);
    EXPECT_EQ(changes.Count(User::Removed), 1u);
    EXPECT_EQ(changes.Count(User::PriorityChanged), 1u);
    EXPECT_EQ(changes.Count(Camera::Added), 1u);
    EXPECT_EQ(changes.Count(Camera::Removed), 1u);
    EXPECT_EQ(changes.Count(Camera::Changed), 0u);
    // What the run needs besides the lines: the new account, the settings
    // of the camera to build, the running ones of the camera to close.
    ASSERT_EQ(changes.users.size(), 4u);
    EXPECT_EQ(changes.users[1].account, (UserAccount{"bob", "b", 1}));
    ASSERT_EQ(changes.cameras.size(), 2u);
    EXPECT_EQ(changes.cameras[0].settings, running.cameras[0].settings);
    EXPECT_EQ(changes.cameras[1].settings, next.cameras[1].settings);
}

} // namespace korvel::configuration_changes_test
