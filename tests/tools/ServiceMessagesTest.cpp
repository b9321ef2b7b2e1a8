// Reading what the service sends: several messages in one read, each shown
// in plain words, colours as words or terminal escapes; and whether the first
// bytes are its greeting (korvelctl check).
#include "korvelctl/ServiceMessages.h"
#include "korvelctl/Display.h"
#include "korvelctl/ServiceCheck.h"

#include <gtest/gtest.h>

namespace korvel::service_messages_test {

TEST(ServiceMessages, OneReadSplitIntoMessagesAndShown)
{
    const struct
    {
        const char* name;
        std::string received;
        bool greeting, loginAnswer;
        std::vector<std::string> shown;
    } cases[] = {
        {"greeting", "SESSION 50123", true, false, {"session 50123"}},
        {"greeting and camera",
         "SESSION 12341CAMERA\tA\t7",
         true,
         false,
         {"session 1234", "camera 7 selected by your command: address A"}},
        {"login answer and control",
         "OK#0000F0 You have control",
         false,
         true,
         {"login accepted", "[blue] You have control"}},
        {"lapse then refusal",
         "#0000F0 FAILURE",
         false,
         true,
         {"[blue] control released", "login refused"}},
        {"another has control, then lapse",
         "#F00000 bob has control#0000F0 ",
         false,
         false,
         {"[red] bob has control", "[blue] control released"}},
        {"camera with name, then control",
         "1CAMERA\t10.0.0.5\t7\tGate 7#0000F0 You have control",
         false,
         false,
         {"camera 7 selected by your command: address 10.0.0.5, name Gate 7",
          "[blue] You have control"}},
        {"camera handed over, serial address",
         "0CAMERA\tCOM3\t12",
         false,
         false,
         {"camera 12 handed to you in choose mode: address COM3"}},
        {"two camera messages",
         "1CAMERA\tA\t71CAMERA\tB\t8",
         false,
         false,
         {"camera 7 selected by your command: address A",
          "camera 8 selected by your command: address B"}},
        {"OK inside a name when no answer is due",
         "1CAMERA\tA\t7\tOK lot",
         false,
         false,
         {"camera 7 selected by your command: address A, name OK lot"}},
        {"OK inside a user name while an answer is due",
         "#F00000 OKAY has control",
         false,
         true,
         {"[red] OKAY has control"}},
        {"unknown bytes before a message",
         "garbage#0000F0 ",
         false,
         false,
         {"unrecognised message: garbage", "[blue] control released"}},
        {"control characters are not passed to the terminal",
         "#F00000 ev\x1b[2Jil has control",
         false,
         false,
         {"[red] ev\\x1B[2Jil has control"}},
        {"C1 controls and bytes that are not UTF-8 are not either",
         "0CAMERA\tA\xc2\x9b"
         "2J\t7\tGat\xe9",
         false,
         false,
         {"camera 7 handed to you in choose mode: address A\\xC2\\x9B2J, name Gat\\xE9"}},
        {"another colour", "#00F000 ready", false, false, {"[green] ready"}},
    };
    for (const auto& c : cases) {
        ExpectedAnswers expected;
        expected.greeting = c.greeting;
        expected.loginAnswer = c.loginAnswer;
        std::vector<std::string> shown;
        for (const auto& message : SplitServiceMessages(c.received, expected))
            shown.push_back(RenderNotice(ReadServiceMessage(message), ColourMode::Plain));
        EXPECT_EQ(shown, c.shown) << c.name;
    }
}

TEST(ServiceMessages, ColoursForTerminals)
{
    const struct
    {
        std::string message;
        ColourMode mode;
        std::string shown;
    } cases[] = {
        {"#0000F0 You have control", ColourMode::Basic, "\x1b[1;34mYou have control\x1b[0m"},
        {"#F00000 bob has control", ColourMode::Basic, "\x1b[1;31mbob has control\x1b[0m"},
        {"#0000F0 You have control", ColourMode::TrueColour,
         "\x1b[1;38;2;0;0;240mYou have control\x1b[0m"},
        {"OK", ColourMode::Basic, "login accepted"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RenderNotice(ReadServiceMessage(c.message), c.mode), c.shown) << c.message;
}

TEST(ServiceMessages, CameraMessageNamesTheCameraToSteer)
{
    EXPECT_EQ(ReadServiceMessage("0CAMERA\t10.0.0.9\t9\tDock").pelcoNumber, 9);
    EXPECT_EQ(ReadServiceMessage("1CAMERA\tA\t255").pelcoNumber, 255);
    EXPECT_EQ(ReadServiceMessage("1CAMERA\tA\t256").pelcoNumber, -1);
    EXPECT_EQ(ReadServiceMessage("1CAMERA\tA\t").kind, ServiceNotice::Kind::Unknown);
}

TEST(Korvelctl, CheckJudgesTheGreetingFromItsFirstBytes)
{
    const struct
    {
        std::string received;
        GreetingVerdict verdict;
    } cases[] = {
        {"", GreetingVerdict::Incomplete},
        {"SESS", GreetingVerdict::Incomplete},
        {"SESSION ", GreetingVerdict::Incomplete},
        {"SESSION 5", GreetingVerdict::Greeting},
        {"SESSION 50123", GreetingVerdict::Greeting},
        {"SESSION x", GreetingVerdict::NotGreeting},
        {"SESSION 12 ", GreetingVerdict::NotGreeting},
        {"session 1", GreetingVerdict::NotGreeting},
        {"HTTP/1.1 400", GreetingVerdict::NotGreeting},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgeGreeting(c.received), c.verdict) << "\"" << c.received << "\"";
}

} // namespace korvel::service_messages_test
