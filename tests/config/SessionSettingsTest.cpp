// RequireLogin of KorvelControl and MaxSessions of Options: how the loader
// reads them, and what it says about values it cannot use.
#include "config/Configuration.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvel::session_settings_test {

TEST(SessionSettings, RequireLoginAndMaxSessionsWithTheirDefaults)
{
    const struct
    {
        const char* options; // attributes of Options
        const char* control; // attributes of KorvelControl
        bool requireLogin;
        std::uint32_t maxSessions;
        std::vector<std::string> lines; // logged after the Reading line
    } cases[] = {
        {"", "", false, 1000, {}},
        {"MaxSessions=\"5\"", "RequireLogin=\"1\"", true, 5, {}},
        {"MaxSessions=\" 20x\"", "RequireLogin=\"0\"", false, 20, {}},
        {"MaxSessions=\"-1\"", "RequireLogin=\"+7\"", true, 4294967295u, {}},
        {"MaxSessions=\"0\"",
         "RequireLogin=\"yes\"",
         true,
         1000,
         {"MaxSessions 0 in tlKorvel.xml is invalid.  Defaulting to 1000.",
          "RequireLogin yes in tlKorvel.xml is not 0 or 1.  Requiring login."}},
        {"MaxSessions=\"many\"",
         "RequireLogin=\"\"",
         true,
         1000,
         {"MaxSessions many in tlKorvel.xml is invalid.  Defaulting to 1000.",
          "RequireLogin  in tlKorvel.xml is not 0 or 1.  Requiring login."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.control);
        TempDir dir;
        WriteFile(dir.File("tlKorvel.xml"),
                  std::string("<tlKorvel><Options ClientAddress=\"127.0.0.1\" ") + c.options +
                      " /><KorvelControl " + c.control + " /></tlKorvel>");
        const LoadedConfiguration loaded = LoadConfigurationFile(dir.Path());
        EXPECT_TRUE(loaded.usable);
        EXPECT_EQ(loaded.configuration.control.requireLogin, c.requireLogin);
        EXPECT_EQ(loaded.configuration.options.maxSessions, c.maxSessions);
        std::vector<std::string> lines = loaded.lines;
        ASSERT_FALSE(lines.empty());
        lines.erase(lines.begin());
        EXPECT_EQ(lines, c.lines);
    }
}

} // namespace korvel::session_settings_test
