// Text from outside the service (operators' names, addresses from the
// configuration, a hostile audit file) wherever the service and korvelctl
// show it: the log, the audit viewer, /status and /metrics. No control
// character reaches a terminal, no line is split or forged, every document
// stays well-formed. And an audit path that is a FIFO holds up nobody.
#include "support/StatusRequests.h"
#include "ops/JsonText.h"
#include "support/OperatorClient.h"
#include "support/ServiceProcess.h"
#include "support/UnusedPort.h"
#include "text/OutsideText.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace korvel::hostile_text_test {

namespace {

// Control characters as XML character references, which the configuration's
// reader decodes; as \u escapes in JSON, as a hostile file could hold them.
std::string Encoded(const std::string& text, const char* format)
{
    std::string out;
    for (const char c : text) {
        char escaped[16];
        std::snprintf(escaped, sizeof escaped, format, static_cast<unsigned char>(c));
        out += static_cast<unsigned char>(c) < 0x20 || c == '"' ? escaped : std::string(1, c);
    }
    return out;
}

// Valid UTF-8 without a control character but line feeds: the rule itself
// is checked byte by byte in the log's tests.
bool ShowsAsItIs(const std::string& text)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (EscapedText(line) != line)
            return false;
    }
    return true;
}

} // namespace

TEST(HostileText, ReachesNoTerminalAndBreaksNoDocument)
{
    // Names without blanks: the first blank of a LOGIN ends the name.
    const struct
    {
        const char* what;
        std::string text;
        std::string recorded; // what the audit trail keeps of it as a name
    } cases[] = {
        {"a line end and a forged line", "x\r\n[2026-Dec-07]forged", "x"},
        {"terminal escapes", "\x1b[1A\x1b[2K\x1b]0;t\x07", ""},
        {"a password after a tab", "ann\tsecret", "ann"},
        {"Latin-1", "caf\xe9", "caf\xe9"},
        {"a C1 control",
         "a\xc2\x9b"
         "2Kb",
         "a\xc2\x9b"
         "2Kb"},
        {"DEL",
         "a\x7f"
         "b",
         "a"},
        {"valid UTF-8", "Zo\xc3\xab\xf0\x9f\x93\xb7", "Zo\xc3\xab\xf0\x9f\x93\xb7"},
    };
    ServiceSetup setup;
    setup.control = R"(AuditFile="audit.log")";
    const std::uint16_t statusPort = UnusedPort();
    setup.options = "StatusAddress=\"127.0.0.2\" StatusPort=\"" + std::to_string(statusPort) + "\"";
    std::string all;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        setup.cameras.push_back(R"(<Camera Address=")" + Encoded(cases[i].text, "&#%u;") +
                                R"(" Port="4001" PelcoNumber=")" + std::to_string(i + 1) + "\" />");
        all += cases[i].text;
    }
    setup.nvr = "Address=\"" + Encoded(all, "&#%u;") + R"(" Port="1" Login="k" Password="")";
    ServiceProcess service(setup);
    ASSERT_TRUE(service.WaitForLog("Status server listening on "));

    std::string hostileFile;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.what);
        OperatorClient::Options from; // each from an address of its own
        from.localAddress = "127.0.3." + std::to_string(i + 1);
        OperatorClient client(service.Port(), from);
        client.ReadGreeting();
        client.Send("LOGIN " + c.text + " pw");
        EXPECT_EQ(client.Read(7), "FAILURE");
        EXPECT_TRUE(service.WaitForLog("Failed login from " + from.localAddress + " by user " +
                                       EscapedText(c.text)));
        EXPECT_TRUE(
            service.WaitForLog("Connecting to track camera at " + EscapedText(c.text) + ":4001"))
            << "an address from the configuration is escaped as a name is";
        std::string json = "\"address\":";
        AppendJsonString(json, c.text);
        EXPECT_NE(Body(Get(statusPort, "/status")).find(json), std::string::npos) << json;
        hostileFile += R"({"time":"2026-12-08T02:13:04.007Z","event":"login-failed","session":)" +
                       std::to_string(i + 1) + R"(,"user":")" + Encoded(c.text, "\\u%04x") +
                       "\"}\n";
    }
    EXPECT_EQ(service.CountLog("Loaded config for server at " + EscapedText(all)), 1);
    EXPECT_TRUE(ShowsAsItIs(service.Log())) << service.Log();

    TempDir dir;
    const std::string metrics = Body(Get(statusPort, "/metrics"));
    WriteFile(dir.File("metrics.txt"), metrics);
    const RunResult promtool =
        RunToEnd("/bin/sh", {"-c", "promtool check metrics < " + dir.File("metrics.txt")});
    EXPECT_EQ(promtool.exitStatus, 0) << promtool.out << promtool.err << metrics;
    EXPECT_TRUE(ShowsAsItIs(metrics)) << metrics;

    // The viewer, on the service's own trail and on a hostile file.
    ASSERT_TRUE(service.Stop()) << service.Stderr();
    WriteFile(dir.File("hostile.log"), hostileFile);
    const std::string trail =
        RunToEnd(KORVELCTL_BINARY, {"audit", service.Directory() + "audit.log"}).out;
    const std::string hostile = RunToEnd(KORVELCTL_BINARY, {"audit", dir.File("hostile.log")}).out;
    EXPECT_TRUE(ShowsAsItIs(trail)) << trail;
    EXPECT_TRUE(ShowsAsItIs(hostile)) << hostile;
    EXPECT_EQ(trail.find("secret"), std::string::npos) << "no password in the trail";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string cut = c.recorded != c.text ? "\xe2\x80\xa6" : "";
        EXPECT_NE(trail.find("  " + EscapedText(ValidUtf8(c.recorded)) + cut), std::string::npos);
        EXPECT_NE(hostile.find("  " + EscapedText(c.text)), std::string::npos);
    }
}

TEST(HostileText, AnAuditPathThatIsAFifoHoldsUpNoOperator)
{
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("audit.log").c_str(), 0600), 0);
    ServiceSetup setup;
    setup.control = "AuditFile=\"" + dir.File("audit.log") + "\"";
    ServiceProcess service(setup);
    OperatorClient client(service.Port());
    client.ReadGreeting();
    for (int i = 0; i < 1000; ++i) {
        client.Send(std::string("LOGIN ") + ProbeUser + " " + ProbePassword);
        ASSERT_EQ(client.Read(2), "OK") << "login " << i;
    }
    EXPECT_EQ(service.CountLog("The audit file " + dir.File("audit.log") +
                               " is not a regular file; the audit trail is off until the service "
                               "restarts"),
              1);
    EXPECT_TRUE(service.Stop()) << "SIGTERM ends it at once";
}

} // namespace korvel::hostile_text_test
