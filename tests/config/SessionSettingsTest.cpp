// RequireLogin and LoginThrottle of KorvelControl, MaxSessions of Options
// and the operations view's settings: how the loader reads them, and what it
// says about values it cannot use.
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
        bool loginThrottle = true;
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
        {"", "LoginThrottle=\"0\"", false, 1000, {}, false},
        {"", "LoginThrottle=\"1\" RequireLogin=\"1\"", true, 1000, {}, true},
        {"",
         "LoginThrottle=\"off\"",
         false,
         1000,
         {"LoginThrottle off in tlKorvel.xml is not 0 or 1.  Throttling failed logins."},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.control);
        TempDir dir;
        WriteFile(dir.File("tlKorvel.xml"),
                  std::string("<tlKorvel><Options ClientAddress=\"127.0.0.1\" ") + c.options +
                      " /><KorvelControl " + c.control + " /></tlKorvel>");
        const LoadedConfiguration loaded = LoadConfigurationFile(dir.Path());
        EXPECT_TRUE(loaded.usable);
        const SessionPolicy& policy = loaded.configuration.sessionPolicy;
        EXPECT_EQ(policy.requireLogin, c.requireLogin);
        EXPECT_EQ(policy.throttleLogins, c.loginThrottle);
        EXPECT_EQ(policy.maxSessions, c.maxSessions);
        std::vector<std::string> lines = loaded.lines;
        ASSERT_FALSE(lines.empty());
        lines.erase(lines.begin());
        EXPECT_EQ(lines, c.lines);
    }
}

// The operations view's settings: off unless configured, and a port that is
// no port leaves the status server off with one line.
TEST(SessionSettings, StatusServerAndAuditFile)
{
    const struct
    {
        const char* options;
        const char* control;
        std::string address;
        std::uint16_t port;
        std::string token;
        std::string auditFile;
        std::vector<std::string> lines;
    } cases[] = {
        {"", "", "127.0.0.1", 0, "", "", {}},
        {"StatusPort=\"\" StatusAddress=\"\"", "AuditFile=\"\"", "127.0.0.1", 0, "", "", {}},
        {"StatusPort=\"0\"", "", "127.0.0.1", 0, "", "", {}},
        {"StatusPort=\"8080\" StatusAddress=\"::1\" StatusToken=\"a b\"",
         "AuditFile=\"/var/log/audit.log\"",
         "::1",
         8080,
         "a b",
         "/var/log/audit.log",
         {}},
        {"StatusPort=\"+65535\"",
         "AuditFile=\"audit.log\"",
         "127.0.0.1",
         65535,
         "",
         "audit.log",
         {}},
        {"StatusPort=\"65536\"",
         "",
         "127.0.0.1",
         0,
         "",
         "",
         {"StatusPort 65536 in tlKorvel.xml is not a port number.  The status server stays off."}},
        {"StatusPort=\"80x\"",
         "",
         "127.0.0.1",
         0,
         "",
         "",
         {"StatusPort 80x in tlKorvel.xml is not a port number.  The status server stays off."}},
        {"StatusPort=\"-1\"",
         "",
         "127.0.0.1",
         0,
         "",
         "",
         {"StatusPort -1 in tlKorvel.xml is not a port number.  The status server stays off."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.control);
        const LoadedConfiguration loaded = LoadConfiguration(
            "tlKorvel.xml", std::string("<tlKorvel><Options ClientAddress=\"127.0.0.1\" ") +
                                c.options + " /><KorvelControl " + c.control + " /></tlKorvel>");
        EXPECT_TRUE(loaded.usable);
        const Options& options = loaded.configuration.options;
        EXPECT_EQ(options.statusAddress, c.address);
        EXPECT_EQ(options.statusPort, c.port);
        EXPECT_EQ(options.statusToken, c.token);
        EXPECT_EQ(loaded.configuration.control.auditFile, c.auditFile);
        EXPECT_EQ(std::vector<std::string>(loaded.lines.begin() + 1, loaded.lines.end()), c.lines);
    }
}

} // namespace korvel::session_settings_test
