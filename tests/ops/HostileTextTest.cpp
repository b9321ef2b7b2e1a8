// Text from outside the service (an operator's name, addresses from the
// configuration, a hostile audit file) shown everywhere the service and
// korvelctl show it: the log, the audit viewer, /status and /metrics. No
// control character reaches a terminal, no line is split or forged, and
// every document stays well-formed.
#include "Operators.h"
#include "ServiceProcess.h"
#include "ServiceViews.h"

#include "ops/JsonText.h"
#include "text/OutsideText.h"

#include <gtest/gtest.h>

namespace korvel::hostile_text_test {

namespace {

using namespace service_views;

// The text as an XML attribute value: control characters as character
// references, which the configuration's reader decodes.
std::string XmlAttribute(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20)
            out += "&#" + std::to_string(byte) + ";";
        else if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

// The text as a hostile file could hold it in a JSON string: control
// characters as \u escapes, other bytes raw.
std::string JsonAsWritten(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
        out += byte < 0x20 || c == '"' || c == '\\' ? std::string(escaped) : std::string(1, c);
    }
    return out;
}

// Whether a column of the table shows exactly the text.
bool HasCell(const std::string& table, const std::string& text)
{
    return table.find("  " + text + " ") != std::string::npos ||
           table.find("  " + text + "\n") != std::string::npos;
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
        {"a C1 control", "a\xc2\x9b" "2Kb", "a\xc2\x9b" "2Kb"},
        {"DEL", "a\x7f" "b", "a"},
        {"valid UTF-8", "Zo\xc3\xab\xf0\x9f\x93\xb7", "Zo\xc3\xab\xf0\x9f\x93\xb7"},
    };
    ServiceSetup setup;
    setup.control = R"(AuditFile="audit.log")";
    setup.options = StatusServerOptions();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string number = std::to_string(i + 1);
        setup.cameras.push_back(R"(<Camera Address=")" + XmlAttribute(cases[i].text) +
                                R"(" Port="4001" PelcoNumber=")" + number + R"(" />)");
        setup.otherNvrs.push_back(R"(<NVR Address=")" + XmlAttribute(cases[i].text) +
                                  R"(" Port="1" Login="k" Password="" />)");
    }
    ServiceProcess service(setup);
    const std::uint16_t statusPort = StatusServerPort(service);
    ASSERT_NE(statusPort, 0);

    std::string hostileFile;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.what);
        // Each from an address of its own.
        OperatorClient::Options from;
        from.localAddress = "127.0.3." + std::to_string(i + 1);
        OperatorClient client(service.Port(), from);
        client.ReadGreeting();
        client.Send("LOGIN " + c.text + " pw");
        EXPECT_EQ(client.Read(7), "FAILURE");
        EXPECT_TRUE(service.WaitForLog("Failed login from " + from.localAddress + " by user " +
                                       EscapedText(c.text)))
            << service.Log();
        EXPECT_EQ(service.CountLog("Loaded config for server at " + EscapedText(c.text)), 1)
            << "an address from the configuration is escaped the same way";

        std::string address;
        AppendJsonString(address, c.text);
        EXPECT_NE(StatusServerGet(statusPort, "/status").find("\"address\":" + address),
                  std::string::npos);

        hostileFile += R"({"time":"2026-12-08T02:13:04.007Z","event":"login-failed","session":)" +
                       std::to_string(i + 1) + R"(,"user":")" + JsonAsWritten(c.text) + "\"}\n";
    }

    const std::string metrics = StatusServerGet(statusPort, "/metrics");
    EXPECT_EQ(PromtoolComplaints(metrics), "") << metrics;
    EXPECT_TRUE(ShowsAsItIs(metrics));
    EXPECT_TRUE(ShowsAsItIs(service.Log())) << service.Log();

    // The viewer, on the service's own trail and on a hostile file.
    ASSERT_TRUE(WaitUntil([&] {
        return AuditRecords(ReadFile(service.Directory() + "audit.log"), "login-failed") ==
               static_cast<int>(std::size(cases));
    }));
    const std::string trail = AuditTableOf(service.Directory() + "audit.log");
    TempDir dir;
    WriteFile(dir.File("hostile.log"), hostileFile);
    const std::string hostile = AuditTableOf(dir.File("hostile.log"));
    EXPECT_TRUE(ShowsAsItIs(trail)) << trail;
    EXPECT_TRUE(ShowsAsItIs(hostile)) << hostile;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string recorded = EscapedText(ValidUtf8(c.recorded));
        const std::string cut = c.recorded != c.text ? "\xe2\x80\xa6" : "";
        EXPECT_TRUE(HasCell(trail, recorded + cut)) << trail;
        EXPECT_TRUE(HasCell(hostile, EscapedText(c.text))) << hostile;
    }
    EXPECT_EQ(trail.find("secret"), std::string::npos) << "no password in the trail";
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

} // namespace korvel::hostile_text_test
