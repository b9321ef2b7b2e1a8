// A camera's own lock time and its stop, home and patrol rules as the loader
// reads them, each unusable one left off with one line naming the camera and
// the attribute; and a reload that changes only them.
#include "config/ConfigurationChanges.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::camera_rules_test {

namespace {

LoadedConfiguration LoadCamera(const std::string& camera, const std::string& users = "")
{
    return LoadConfiguration("tlKorvel.xml",
                             "<tlKorvel><KorvelControl>" + users +
                                 "</KorvelControl><NVR Address=\"10.0.0.1\" Port=\"22609\" "
                                 "Login=\"op\" Password=\"pw\">" +
                                 camera + "</NVR></tlKorvel>");
}

// The rules as a line: what is on, and the timings.
std::string Describe(const CameraRules& rules)
{
    static const char* const protocols[] = {"-", "D", "P"};
    std::string text = std::string("protocol ") + protocols[static_cast<int>(rules.protocol)];
    if (rules.lockTimeSecs)
        text += " lock " + std::to_string(*rules.lockTimeSecs);
    if (rules.stopOnRelease)
        text += " stop";
    if (rules.homePreset)
        text += " home " + std::to_string(*rules.homePreset) + " after " +
                std::to_string(rules.homeAfterSecs);
    if (!rules.patrolPresets.empty()) {
        text += " patrol";
        for (const auto preset : rules.patrolPresets)
            text += " " + std::to_string(preset);
        text += " dwell " + std::to_string(rules.dwellSecs) + " resume " +
                std::to_string(rules.resumeAfterSecs);
    }
    return text;
}

} // namespace

TEST(CameraRules, TheLoaderReadsEachRuleAndLeavesABadOneOff)
{
    const std::string at = "<Camera Address=\"10.0.1.1\" Port=\"4001\" PelcoNumber=\"3\" ";
    const std::string name = "camera at 10.0.1.1:4001";
    const struct
    {
        const char* name;
        std::string camera;
        std::string rules;
        std::vector<std::string> lines;
    } cases[] = {
        {"none set: nothing written, the site's lock time", at + "/>", "protocol -", {}},
        {"every rule, and the defaults of the timings",
         at + "LockTime=\"9\" Protocol=\"D\" StopOnRelease=\"1\" HomePreset=\"5\">"
              "<Patrol Presets=\"1, 4,7\"/></Camera>",
         "protocol D lock 9 stop home 5 after 60 patrol 1 4 7 dwell 20 resume 60", {}},
        {"Pelco-P and timings of its own",
         at + "Protocol=\"P\" HomePreset=\"255\" HomeAfterSecs=\"15\"><Patrol Presets=\"2\" "
              "DwellSecs=\"5\" ResumeAfterSecs=\"0\"/></Camera>",
         "protocol P home 255 after 15 patrol 2 dwell 5 resume 0", {}},
        {"an unknown protocol letter: nothing is written, the lock time stands",
         at + "LockTime=\"2\" Protocol=\"X\" StopOnRelease=\"1\" HomePreset=\"5\"/>",
         "protocol - lock 2",
         {"Invalid Protocol value for " + name + ". It is not stopped, sent home or patrolled"}},
        {"a home preset outside 1 to 255",
         at + "Protocol=\"D\" StopOnRelease=\"1\" HomePreset=\"256\"/>", "protocol D stop",
         {"Invalid HomePreset value for " + name + " (a preset is 1 to 255). It is not sent "
                                                   "home"}},
        {"a home preset without a protocol", at + "HomePreset=\"4\"/>", "protocol -",
         {"HomePreset without Protocol for " + name + ". It is not sent home"}},
        {"a patrol without presets", at + "Protocol=\"D\"><Patrol DwellSecs=\"5\"/></Camera>",
         "protocol D", {"Patrol without Presets for " + name + ". It does not patrol"}},
        {"a patrol preset out of range, or an empty one",
         at + "Protocol=\"D\"><Patrol Presets=\"1,0\"/></Camera>", "protocol D",
         {"Invalid Patrol Presets value for " + name +
          " (each preset is 1 to 255). It does not patrol"}},
        {"a dwell of nothing keeps the default",
         at + "Protocol=\"D\"><Patrol Presets=\"3,1\" DwellSecs=\"0\"/></Camera>",
         "protocol D patrol 3 1 dwell 20 resume 60",
         {"Invalid DwellSecs value for camera at 10.0.1.1:4001. Defaulting to 20"}},
        {"StopOnRelease without a protocol", at + "StopOnRelease=\"1\"/>", "protocol -",
         {"StopOnRelease without Protocol for " + name + ". It is not stopped when a hold "
                                                         "ends"}},
    };
    for (const auto& c : cases) {
        const LoadedConfiguration loaded = LoadCamera(c.camera);
        ASSERT_TRUE(loaded.usable) << c.name;
        ASSERT_EQ(loaded.configuration.cameras.size(), 1u) << c.name;
        EXPECT_EQ(Describe(loaded.configuration.cameras[0].settings.rules), c.rules) << c.name;
        std::vector<std::string> lines;
        for (const std::string& line : loaded.lines)
            if (line.find("10.0.1.1:4001") != std::string::npos)
                lines.push_back(line);
        EXPECT_EQ(lines, c.lines) << c.name;
    }
}

// Rules alone change without the camera being built again; a supervisor flag
// is a change of the user of its own.
TEST(CameraRules, AReloadTellsRulesFromTheCameraItself)
{
    const auto camera = [](const std::string& more) {
        return "<Camera Address=\"10.0.1.1\" Port=\"4001\" PelcoNumber=\"3\" " + more + "/>";
    };
    const struct
    {
        const char* name;
        std::string was, is;
        std::vector<ConfigurationChanges::Camera::Kind> kinds;
    } cases[] = {
        {"rules added", camera(""), camera("Protocol=\"D\" StopOnRelease=\"1\""),
         {ConfigurationChanges::Camera::Kind::RulesChanged}},
        {"lock time changed", camera("LockTime=\"3\""), camera("LockTime=\"4\""),
         {ConfigurationChanges::Camera::Kind::RulesChanged}},
        {"the port and the rules: built again", camera(""),
         "<Camera Address=\"10.0.1.1\" Port=\"4002\" PelcoNumber=\"3\" LockTime=\"4\"/>",
         {ConfigurationChanges::Camera::Kind::Changed}},
        {"nothing", camera("HomePreset=\"2\" Protocol=\"P\""),
         camera("HomePreset=\"2\" Protocol=\"P\""), {}},
    };
    for (const auto& c : cases) {
        const ConfigurationChanges changes = CompareConfigurations(
            LoadCamera(c.was).configuration, LoadCamera(c.is).configuration);
        std::vector<ConfigurationChanges::Camera::Kind> kinds;
        for (const auto& change : changes.cameras)
            kinds.push_back(change.kind);
        EXPECT_EQ(kinds, c.kinds) << c.name;
    }
    const ConfigurationChanges supervisor =
        CompareConfigurations(LoadCamera("", "<User Name=\"sue\" Supervisor=\"1\"/>").configuration,
                              LoadCamera("", "<User Name=\"sue\"/>").configuration);
    ASSERT_EQ(supervisor.users.size(), 1u);
    EXPECT_EQ(supervisor.users[0].kind, ConfigurationChanges::User::Kind::SupervisorChanged);
    EXPECT_EQ(supervisor.users[0].line, "User sue is no longer a supervisor");
}

} // namespace korvel::camera_rules_test
