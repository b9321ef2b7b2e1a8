// RequireLogin of KorvelControl and MaxSessions of Options: how the loader
// reads them, and what it says about values it cannot use.
#include "camera/TrackCamera.h"
#include "config/Configuration.h"
#include "config/Settings.h"
#include "nvr/NVRConnection.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <vector>

TEST(SessionSettings, RequireLoginAndMaxSessionsWithTheirDefaults)
{
    const struct
    {
        const char* options;      // attributes of Options
        const char* control;      // attributes of KorvelControl
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
        WriteFile(dir.File("tlKorvel.xml"), std::string("<tlKorvel><Options ClientAddress=\"127.0.0.1\" ") + c.options +
                                                " /><KorvelControl " + c.control +
                                                " /></tlKorvel>");
        // A previous load's values must not linger.
        RequireLogin = !c.requireLogin;
        MaxSessions = 77;
        boost::asio::io_context io;
        NvrTable nvrs;
        CameraTable cameras;
        UserTable users;
        LogCapture log;
        EXPECT_EQ(LoadConfiguration(io, nvrs, cameras, users, dir.Path()), 0);
        EXPECT_EQ(RequireLogin, c.requireLogin);
        EXPECT_EQ(MaxSessions, c.maxSessions);
        std::vector<std::string> lines = log.Lines();
        ASSERT_FALSE(lines.empty());
        lines.erase(lines.begin());
        EXPECT_EQ(lines, c.lines);
    }
}
