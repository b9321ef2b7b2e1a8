// korvelctl as a process against a stand-in for the service: the messages
// it sends (each one receive, with the exact bytes), what it shows, and its
// exit status.
#include "FakeService.h"

#include "korvelctl/ServiceCheck.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/UnusedPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::korvelctl_test {

namespace {

using Strings = std::vector<std::string>;

// Every expected text must be in the output, in this order.
void ExpectInOrder(const std::string& output, const Strings& texts, const std::string& label)
{
    std::size_t from = 0;
    for (const auto& text : texts) {
        const std::size_t at = output.find(text, from);
        EXPECT_NE(at, std::string::npos)
            << label << ": \"" << text << "\" missing (or out of order) in:\n"
            << output;
        if (at != std::string::npos)
            from = at + text.size();
    }
}

// What the service received, each message as korvelctl's tests show it.
Strings Received(const FakeService& service)
{
    Strings received;
    for (const auto& message : service.Messages())
        received.push_back(ShowMessage(message));
    return received;
}

} // namespace

TEST(Korvelctl, ScriptSendsEachCommandAsOneMessage)
{
    FakeService::Behaviour behaviour;
    behaviour.acceptedLogins = {"LOGIN a b", "LOGIN x", "LOGIN s p q"};
    // Several messages in one write, as TCP may deliver them.
    behaviour.replies = {
        {"\xFF\x03", OperatorProtocol::CameraMessage(true, "10.0.0.5", 3, "Gate") +
                         std::string(OperatorProtocol::YouHaveControl) +
                         OperatorProtocol::OtherHasControl("bob")},
        {"CHOOSE", OperatorProtocol::CameraMessage(false, "10.0.0.9", 9)},
    };
    const struct
    {
        const char* name;
        std::string script;
        Strings messages;
        Strings shown;
    } cases[] = {
        {"steering words build Pelco-D frames for the current camera",
         "login a b; cam 3; left 20; up 5; down; right turbo; zoom in; zoom out; stop; "
         "preset set 4; preset go 4; preset clear 4",
         {"LOGIN a b", "FF 03 00 04 14 00 1B", "FF 03 00 08 00 05 10", "FF 03 00 10 00 20 33",
          "FF 03 00 02 FF 00 04", "FF 03 00 20 00 00 23", "FF 03 00 40 00 00 43",
          "FF 03 00 00 00 00 03", "FF 03 00 03 00 04 0A", "FF 03 00 07 00 04 0E",
          "FF 03 00 05 00 04 0C"},
         {"session 1234\n", "sent LOGIN a with a password\n", "login accepted\n",
          "sent FF 03 00 04 14 00 1B (Pelco-D to camera 3: pan left at speed 20)\n",
          "camera 3 selected by your command: address 10.0.0.5, name Gate\n",
          "[blue] You have control\n", "[red] bob has control\n"}},
        {"login forms, raw bytes and choose mode",
         "login x; login s p q; raw 01 02 03; choose; sleep 0.5; left; cancel",
         {"LOGIN x", "LOGIN s p q", "01 02 03", "CHOOSE", "FF 09 00 04 20 00 2D", "CANCEL"},
         {"camera 9 handed to you in choose mode: address 10.0.0.9\n", "steering camera 9\n",
          "sent FF 09 00 04 20 00 2D (Pelco-D to camera 9: pan left at speed 32)\n"}},
    };
    for (const auto& c : cases) {
        FakeService service(behaviour);
        // A generous gap, so that a busy machine does not join two messages
        // on the receiving side.
        Process korvelctl(KORVELCTL_BINARY, {service.Address(), "--run", c.script, "--gap", "100",
                                             "--linger", "0.3"});
        ASSERT_TRUE(korvelctl.Wait(std::chrono::seconds(60))) << c.name;
        EXPECT_EQ(korvelctl.ExitStatus(), 0) << c.name << "\n" << korvelctl.Stderr();
        EXPECT_EQ(Received(service), c.messages) << c.name;
        ExpectInOrder(korvelctl.Stdout(), c.shown, c.name);
    }
}

TEST(Korvelctl, ExitStatusTellsHowTheRunEnded)
{
    FakeService::Behaviour closing;
    closing.closeAfter = 1;
    const struct
    {
        const char* name;
        FakeService::Behaviour behaviour;
        std::string script;
        int status;
        Strings messages;
        std::string error;
    } cases[] = {
        {"login accepted", {}, "login a b", 0, {"LOGIN a b"}, ""},
        {"login refused stops the script",
         {},
         "login a wrong; left",
         2,
         {"LOGIN a wrong"},
         "login refused"},
        // The sleep outlasts the wait below: the loss must end the run at once.
        {"connection lost",
         closing,
         "login a b; sleep 600; stop",
         3,
         {"LOGIN a b"},
         "the service closed the connection"},
    };
    for (const auto& c : cases) {
        FakeService service(c.behaviour);
        Process korvelctl(KORVELCTL_BINARY, {service.Address(), "--run", c.script});
        ASSERT_TRUE(korvelctl.Wait(std::chrono::seconds(60))) << c.name;
        EXPECT_EQ(korvelctl.ExitStatus(), c.status) << c.name;
        EXPECT_EQ(service.Messages(), c.messages) << c.name;
        EXPECT_NE(korvelctl.Stderr().find(c.error), std::string::npos)
            << c.name << korvelctl.Stderr();
    }
}

TEST(Korvelctl, FailsWithoutConnectingOnBadUseOrNoService)
{
    const std::string nowhere = "127.0.0.1:" + std::to_string(UnusedPort());
    const struct
    {
        Strings arguments;
        int status;
    } cases[] = {
        {{nowhere, "--run", "stop"}, 3},
        {{nowhere, "--run", "left 64"}, 1},
        {{nowhere, "--run", "fly"}, 1},
        {{"nohostport", "--run", "stop"}, 1},
        {{}, 1},
    };
    for (const auto& c : cases) {
        const RunResult result = RunToEnd(KORVELCTL_BINARY, c.arguments);
        EXPECT_EQ(result.exitStatus, c.status) << (c.arguments.empty() ? "" : c.arguments.back());
    }
}

TEST(Korvelctl, InteractiveReadsCommandsFromStandardInput)
{
    FakeService::Behaviour behaviour;
    behaviour.afterLogin = std::string(OperatorProtocol::ControlLapsed);
    FakeService service(behaviour);
    Process::Options options;
    options.stdinPipe = true;
    Process korvelctl(KORVELCTL_BINARY, {service.Address(), "--gap", "100"}, options);
    korvelctl.WriteStdin("login a wrong\nlogin a b\nbogus\ncam 7; left 10\n");
    ASSERT_TRUE(WaitUntil([&] { return service.Messages().size() == 3; }));
    korvelctl.CloseStdin();
    ASSERT_TRUE(korvelctl.Wait(std::chrono::seconds(60)));
    // A refused login does not end an interactive session.
    EXPECT_EQ(korvelctl.ExitStatus(), 0) << korvelctl.Stderr();
    EXPECT_EQ(Received(service), (Strings{"LOGIN a wrong", "LOGIN a b", "FF 07 00 04 0A 00 15"}));
    ExpectInOrder(korvelctl.Stdout(),
                  {"session 1234\n", "login refused\n", "login accepted\n",
                   "[blue] control released\n", "steering camera 7\n"},
                  "interactive");
    EXPECT_NE(korvelctl.Stderr().find("\"bogus\": unknown command"), std::string::npos);
}

// A connection that drops is made again: the accepted login is sent again,
// the camera kept, and each step said on screen.
TEST(Korvelctl, ReconnectRestoresLoginAndCamera)
{
    const struct
    {
        const char* name;
        std::string script;
        Strings messages;
        Strings shown;
    } cases[] = {
        {"after a login, the same login again and the same camera",
         "login a b; cam 3; left 20; sleep 1.5; right 10",
         {"LOGIN a b", "FF 03 00 04 14 00 1B", "LOGIN a b", "FF 03 00 02 0A 00 0F"},
         {"session 1234\n", "login accepted\n",
          "the service closed the connection; reconnecting to 127.0.0.1:",
          "reconnected to 127.0.0.1:", "session 1234\n", "sent LOGIN a with a password\n",
          "login accepted\n", "steering camera 3\n",
          "sent FF 03 00 02 0A 00 0F (Pelco-D to camera 3: pan right at speed 10)\n"}},
        {"a refused login is not sent again",
         "login a wrong; cam 4; up 1; sleep 1.5; down 2",
         {"LOGIN a wrong", "FF 04 00 08 00 01 0D", "FF 04 00 10 00 02 16"},
         {"login refused\n", "reconnecting to 127.0.0.1:", "reconnected to 127.0.0.1:",
          "steering camera 4\n", "sent FF 04 00 10 00 02 16"}},
    };
    for (const auto& c : cases) {
        FakeService::Behaviour behaviour;
        behaviour.closeAfter = 2;
        FakeService service(behaviour);
        // Interactive, as a refused login ends a script.
        Process::Options options;
        options.stdinPipe = true;
        Process korvelctl(KORVELCTL_BINARY, {service.Address(), "--reconnect", "--gap", "100"},
                          options);
        korvelctl.WriteStdin(c.script + "\n");
        korvelctl.CloseStdin();
        ASSERT_TRUE(korvelctl.Wait(std::chrono::seconds(60))) << c.name;
        EXPECT_EQ(korvelctl.ExitStatus(), 0) << c.name << "\n" << korvelctl.Stderr();
        EXPECT_EQ(service.ClientPorts().size(), 2u) << c.name;
        EXPECT_EQ(Received(service), c.messages) << c.name;
        ExpectInOrder(korvelctl.Stdout(), c.shown, c.name);
    }
}

TEST(Korvelctl, CheckTellsWhetherTheServiceGreets)
{
    const struct
    {
        const char* name;
        std::string greeting;
        bool listening;
        Strings extra;
        int status;
        std::string error;
    } cases[] = {
        {"a greeting", OperatorProtocol::Greeting(50123), true, {}, 0, ""},
        {"another program",
         "SSH-2.0-x",
         true,
         {},
         3,
         "answered \"SSH-2.0-x\", not a tlKorvel greeting"},
        {"silence", "", true, {"--timeout", "300"}, 3, "no greeting from 127.0.0.1:"},
        {"nothing listening", "", false, {}, 3, "cannot connect to 127.0.0.1:"},
        {"a bad timeout", "", false, {"--timeout", "soon"}, 1, "--timeout takes milliseconds"},
    };
    for (const auto& c : cases) {
        FakeService::Behaviour behaviour;
        behaviour.greeting = c.greeting;
        FakeService service(behaviour);
        const std::string port = std::to_string(c.listening ? service.Port() : UnusedPort());
        Strings arguments = {"check", "--address", "127.0.0.1", "--port", port};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        const RunResult result = RunToEnd(KORVELCTL_BINARY, arguments);
        EXPECT_EQ(result.exitStatus, c.status) << c.name << "\n" << result.err;
        if (c.error.empty())
            EXPECT_EQ(result.err, "") << c.name;
        else
            EXPECT_NE(result.err.find(c.error), std::string::npos) << c.name << "\n" << result.err;
        // One line, and never a login.
        EXPECT_LE(std::count(result.err.begin(), result.err.end(), '\n'), 1) << c.name;
        EXPECT_TRUE(service.Messages().empty()) << c.name;
        // Connected from below the workstations' ports.
        for (const unsigned short client : service.ClientPorts()) {
            EXPECT_GE(client, CheckPortLowest) << c.name;
            EXPECT_LE(client, CheckPortHighest) << c.name;
        }
    }
}

} // namespace korvel::korvelctl_test
