// Directory accounts and hashed passwords through the service run as a
// process: PAM is the machine's own library, with pam_wrapper reading the
// service's PAM configuration from the test's folder and pam_matrix as the
// directory, nss_wrapper giving the accounts their groups, and a module of
// the test's own that hangs for one user. The machine's PAM configuration
// is never read.
#include "support/OperatorClient.h"
#include "support/ServiceProcess.h"
#include "support/StatusRequests.h"
#include "support/TempDir.h"
#include "support/UnusedPort.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvel::directory_process_test {

namespace {

const std::string WrapperDir = "/usr/lib/x86_64-linux-gnu/";
const std::string MatrixModule = WrapperDir + "pam_wrapper/pam_matrix.so";

// "correct horse" and "secret", made with mkpasswd.
const char* const HorseHash =
    "$y$j9T$sZosq1CrdlQqL0kPHz81j1$6htPX4AwTrf5o9LXMxUoHX5TT5tOKfEU3JjaEU.Q9/7";
const char* const SecretHash = "$2b$05$cQyzlsdzBU08N7b9NDTzheWMj78X8s0LwgiJfRSyRS.lVMlTMnuWW";

} // namespace

TEST(DirectoryProcess, AccountsThroughPamGroupsHashesAndAHangingDirectory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "pam_wrapper opens PAM with RTLD_DEEPBIND, which the sanitizers' runtime refuses";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "pam_wrapper opens PAM with RTLD_DEEPBIND, which the sanitizers' runtime refuses";
#endif
#endif
    for (const char* library : {"libpam_wrapper.so", "libnss_wrapper.so"}) {
        if (!std::filesystem::exists(WrapperDir + library))
            GTEST_SKIP() << library << " is not installed (libpam-wrapper, libnss-wrapper)";
    }
    TempDir dir;
    const std::string root = dir.Path() + "/";
    std::filesystem::create_directory(root + "pam.d");
    const std::string passdb = root + "passdb";
    WriteFile(passdb, "alice:alice pw:tlkorvel\n"
                      "bob:bob pw:tlkorvel\n"
                      "carol:carol pw:tlkorvel\n"
                      "guard:directory pw:tlkorvel\n"
                      "sleeper:x:tlkorvel\n"
                      "stranger:stranger pw:otherservice\n");
    WriteFile(root + "pam.d/tlkorvel",
              "auth required " + std::string(PAM_SLEEP_MODULE) + "\n" +
                  "auth required " + MatrixModule + " passdb=" + passdb + "\n" +
                  "account required " + MatrixModule + " passdb=" + passdb + "\n");
    WriteFile(root + "passwd", "alice:x:2001:2001::/nonexistent:/bin/false\n"
                               "bob:x:2002:2002::/nonexistent:/bin/false\n"
                               "carol:x:2003:2003::/nonexistent:/bin/false\n"
                               "guard:x:2004:2004::/nonexistent:/bin/false\n"
                               "sleeper:x:2005:2005::/nonexistent:/bin/false\n"
                               "stranger:x:2006:2006::/nonexistent:/bin/false\n");
    WriteFile(root + "group", "alice:x:2001:\n"
                              "bob:x:2002:\n"
                              "carol:x:2003:\n"
                              "guard:x:2004:\n"
                              "sleeper:x:2005:\n"
                              "stranger:x:2006:\n"
                              "cctv-operators:x:3000:alice,bob,stranger\n"
                              "cctv-supervisors:x:3001:alice\n"
                              "staff:x:3002:carol\n");
    const std::vector<std::string> launcher = {
        "/usr/bin/env",
        "LD_PRELOAD=" + WrapperDir + "libpam_wrapper.so:" + WrapperDir + "libnss_wrapper.so",
        "PAM_WRAPPER=1",
        "PAM_WRAPPER_SERVICE_DIR=" + root + "pam.d",
        "NSS_WRAPPER_PASSWD=" + root + "passwd",
        "NSS_WRAPPER_GROUP=" + root + "group",
    };
    ServiceProcess service(std::string(R"(<?xml version="1.0"?>
<tlKorvel>
  <Options RetryIntervalSecs="1" ClientAddress="127.0.0.1" ClientPort="0"
           StatusAddress=")" + std::string(StatusHost) + R"(" StatusPort=")" +
                               std::to_string(UnusedPort()) + R"(" />
  <KorvelControl LockTime="3" LoginThrottle="0">
    <User Name="guard" Password="local pw" Priority="2" />
    <User Name="hashed" PasswordHash=")") + HorseHash + R"(" Priority="4" />
    <User Name="both" Password="plain" PasswordHash=")" + SecretHash + R"(" Priority="5" />
    <User Name="broken" PasswordHash="$y$cut short" Priority="6" />
    <User Name="probe" Password="probe" Priority="1" />
    <User Name="chief" PasswordHash=")" + HorseHash + R"(" Priority="1" Supervisor="1" />
    <Directory Service="tlkorvel">
      <Group Name="cctv-operators" Priority="3" />
      <Group Name="cctv-supervisors" Priority="9" Supervisor="1" />
    </Directory>
  </KorvelControl>
  <NVR Address="127.0.0.9" Port="22609" Login="korvel" Password="" />
</tlKorvel>
)",
                           launcher);
    EXPECT_EQ(service.CountLog("Skipping <User> entry broken: its PasswordHash in tlKorvel.xml "
                               "is not a yescrypt, bcrypt or SHA-512 hash."),
              1);
    EXPECT_EQ(service.CountLog("User both has both Password and PasswordHash in tlKorvel.xml.  "
                               "Using PasswordHash."),
              1);

    // The directory hangs for one user: its LOGIN is answered at the
    // deadline, and meanwhile every other LOGIN is answered as ever.
    const auto sleeper = Greeted(service.Port());
    sleeper->Send("LOGIN sleeper x");

    const struct
    {
        const char* login;
        const char* answer;
        const char* line;
    } cases[] = {
        {"LOGIN alice alice pw", "OK", "Login from 127.0.0.1 by user alice with priority 9"},
        {"LOGIN alice wrong", "FAILURE", "Failed login from 127.0.0.1 by user alice"},
        {"LOGIN bob bob pw", "OK", "Login from 127.0.0.1 by user bob with priority 3"},
        {"LOGIN carol carol pw", "FAILURE", "Failed login from 127.0.0.1 by user carol"},
        {"LOGIN nobody pw", "FAILURE", "Failed login from 127.0.0.1 by user nobody"},
        // pam_matrix lets this account use another service only.
        {"LOGIN stranger stranger pw", "FAILURE", "Failed login from 127.0.0.1 by user stranger"},
        // A configured user wins over the directory account of its name.
        {"LOGIN guard directory pw", "FAILURE", "Failed login from 127.0.0.1 by user guard"},
        {"LOGIN guard local pw", "OK", "Login from 127.0.0.1 by user guard with priority 2"},
        {"LOGIN hashed correct horse", "OK", "Login from 127.0.0.1 by user hashed with priority 4"},
        {"LOGIN hashed correct horsE", "FAILURE", "Failed login from 127.0.0.1 by user hashed"},
        {"LOGIN both secret", "OK", "Login from 127.0.0.1 by user both with priority 5"},
        {"LOGIN both plain", "FAILURE", "Failed login from 127.0.0.1 by user both"},
        {"LOGIN broken anything", "FAILURE", "Failed login from 127.0.0.1 by user broken"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.login);
        const int before = service.CountLog(c.line);
        const auto client = Greeted(service.Port());
        client->Send(c.login);
        ExpectNext(*client, c.answer);
        EXPECT_EQ(service.CountLog(c.line), before + 1) << service.Log() << service.Stderr();
    }
    // The supervisor API's login: a directory account in a group marked
    // Supervisor, and a supervisor whose password is a hash; the token it
    // gives acts (the camera is not there), another's is turned away.
    const std::uint16_t statusPort = StatusPortOf(service);
    ASSERT_NE(statusPort, 0) << service.Log();
    const auto post = [&](const std::string& target, const std::string& headers,
                          const std::string& body) {
        return Exchange(statusPort, "POST " + target + " HTTP/1.1\r\nHost: x\r\n" + headers +
                                        "Content-Length: " + std::to_string(body.size()) +
                                        "\r\nConnection: close\r\n\r\n" + body);
    };
    const struct
    {
        const char* user;
        const char* password;
        const char* status;
        const char* line;
    } supervisors[] = {
        {"alice", "alice pw", "HTTP/1.1 200 OK", "Supervisor login from 127.0.0.1 by user alice"},
        {"alice", "wrong", "HTTP/1.1 401 Unauthorized",
         "Failed supervisor login from 127.0.0.1 by user alice"},
        {"bob", "bob pw", "HTTP/1.1 401 Unauthorized",
         "Failed supervisor login from 127.0.0.1 by user bob"},
        {"chief", "correct horse", "HTTP/1.1 200 OK",
         "Supervisor login from 127.0.0.1 by user chief"},
        {"chief", "correct horsE", "HTTP/1.1 401 Unauthorized",
         "Failed supervisor login from 127.0.0.1 by user chief"},
        {"hashed", "correct horse", "HTTP/1.1 401 Unauthorized",
         "Failed supervisor login from 127.0.0.1 by user hashed"},
    };
    const std::string json = "Content-Type: application/json\r\n";
    for (const auto& c : supervisors) {
        SCOPED_TRACE(std::string(c.user) + " " + c.password);
        const int before = service.CountLog(c.line);
        const std::string answer = post("/api/login", json,
                                        std::string(R"({"user":")") + c.user +
                                            R"(","password":")" + c.password + R"("})");
        EXPECT_EQ(StatusLine(answer), c.status) << answer;
        EXPECT_EQ(service.CountLog(c.line), before + 1) << service.Log();
        const auto token = Body(answer).find(R"({"token":")");
        if (token == std::string::npos)
            continue;
        const std::string bearer =
            "Authorization: Bearer " + Body(answer).substr(token + 10, 64) + "\r\n";
        EXPECT_EQ(StatusLine(post("/api/cameras/7/release", bearer, "")),
                  "HTTP/1.1 404 Not Found");
    }

    EXPECT_EQ(service.CountLog("Directory accounts (service tlkorvel): an account in none of the "
                               "configured groups (logged once)"),
              1);
    EXPECT_EQ(service.CountLog("Directory accounts (service tlkorvel): authenticate: "
                               "Authentication failure (logged once)"),
              1)
        << service.Log();
    EXPECT_EQ(service.CountLog("Login from 127.0.0.1 by user sleeper"), 0);

    // The hanging login fails at its deadline (10 s after it was sent).
    EXPECT_EQ(sleeper->Read(7, std::chrono::seconds(30)), "FAILURE");
    EXPECT_TRUE(service.WaitForLog(
        "Directory accounts (service tlkorvel): no answer within 10 s (logged once)"))
        << service.Log();
    EXPECT_EQ(service.CountLog("Failed login from 127.0.0.1 by user sleeper"), 1);
    // Its thread still hangs; the service stops all the same.
    EXPECT_TRUE(service.Stop()) << service.Stderr();
}

} // namespace korvel::directory_process_test
