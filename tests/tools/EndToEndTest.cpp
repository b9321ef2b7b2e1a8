// The whole system as separate processes on real sockets and a
// pseudo-terminal: nvrsim as the recorder, camsim as the cameras, tlKorvel -d,
// and two operators at korvelctl. Two operators of different priority contend
// for one camera; camsim must show exactly the frames the service admitted;
// a soft trigger fired at the recorder hands a camera to the choosing
// operator.
#include "SystemProcesses.h"

#include "support/Process.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>

namespace korvel::end_to_end_test {

namespace {

using Strings = std::vector<std::string>;

enum class Actor
{
    Low,
    High,
    Nvr
};

const char* Name(Actor actor)
{
    switch (actor) {
    case Actor::Low:
        return "korvelctl low";
    case Actor::High:
        return "korvelctl high";
    case Actor::Nvr:
        return "nvrsim";
    }
    return "";
}

Process::Options WithStdin()
{
    Process::Options options;
    options.stdinPipe = true;
    return options;
}

std::string ServiceConfig(const std::string& nvrPort, const std::string& cameraPort,
                          const std::string& serialDevice)
{
    return R"(<tlKorvel>
  <Options RetryIntervalSecs="1" ClientAddress="127.0.0.1" ClientPort="0" />
  <KorvelControl LockTime="5">
    <User Name="low" Password="pw" Priority="10" />
    <User Name="high" Password="pw" Priority="20" />
  </KorvelControl>
  <NVR Address="127.0.0.1" Port=")" +
           nvrPort + R"(" Login="korvel" Password="secret">
    <Camera Address="127.0.0.1" PelcoNumber="1" Port=")" +
           cameraPort + R"(" />
    <Camera Address="7" PelcoNumber="3" Port=")" +
           serialDevice + R"(" />
  </NVR>
</tlKorvel>
)";
}

} // namespace

TEST(EndToEnd, OperatorsContendAndTheNvrHandsOverACamera)
{
    Process camsim(CAMSIM_BINARY, {"--listen", "127.0.0.1:0", "--pty"});
    const std::string cameraPort = WaitForLineAfter(camsim, "camera listening on 127.0.0.1:");
    const std::string serialDevice = WaitForLineAfter(camsim, "camera on pseudo-terminal ");
    ASSERT_FALSE(cameraPort.empty() || serialDevice.empty()) << camsim.Stdout() << camsim.Stderr();

    Process nvrsim(NVRSIM_BINARY, {"--listen", "127.0.0.1:0"}, WithStdin());
    const std::string nvrPort = WaitForLineAfter(nvrsim, "listening on 127.0.0.1:");
    ASSERT_FALSE(nvrPort.empty()) << nvrsim.Stderr();
    nvrsim.WriteStdin("user korvel secret\n"
                      "camera 11 127.0.0.1 Gate\n"
                      "camera 7 - Loading bay\n");

    ServiceProcess service(ServiceConfig(nvrPort, cameraPort, serialDevice));
    const std::string address = "127.0.0.1:" + std::to_string(service.Port());

    // Ready: the network camera connected, the recorder's cameras learnt and
    // the soft trigger of the loading bay made.
    ASSERT_TRUE(WaitUntil([&] {
        return camsim.Stdout().find(" connection from ") != std::string::npos;
    })) << camsim.Stdout()
        << service.Log();
    ASSERT_TRUE(WaitUntil([&] {
        return service.Log().find("Adding analog camera name 'Loading bay' with address 7") !=
               std::string::npos;
    })) << service.Log();
    int polls = 0;
    ASSERT_TRUE(WaitUntil([&] {
        if (polls++ % 10 == 0) // every fifth of a second
            nvrsim.WriteStdin("dump\n");
        return nvrsim.Stdout().find("guid=KORVEL_7") != std::string::npos;
    })) << nvrsim.Stdout();

    Process low(KORVELCTL_BINARY, {address}, WithStdin());
    Process high(KORVELCTL_BINARY, {address}, WithStdin());
    std::map<Actor, Process*> actors = {
        {Actor::Low, &low}, {Actor::High, &high}, {Actor::Nvr, &nvrsim}};
    std::map<Actor, std::size_t> seen; // how far each output has been checked

    const struct
    {
        const char* what;
        Actor actor;
        std::string input; // lines for the actor's standard input
        std::vector<std::pair<Actor, std::string>> shown;
        std::string frame; // the frame camsim must show next, if any
        // Sent again every half second until the last text shows: the
        // service may read CHOOSE after the recorder's fire although korvelctl
        // sent it first (two connections), and then hands nothing over.
        bool again = false;
    } steps[] = {
        {"the operator logs in", Actor::Low, "login low pw", {{Actor::Low, "login accepted"}}, ""},
        {"the supervisor logs in",
         Actor::High,
         "login high pw",
         {{Actor::High, "login accepted"}},
         ""},
        {"the operator steers the free camera",
         Actor::Low,
         "cam 1\nleft 20",
         {{Actor::Low, "[blue] You have control"}},
         "camera 1 [FF 01 00 04 14 00 19]"},
        {"the higher priority takes it over",
         Actor::High,
         "cam 1\nright 10",
         {{Actor::High, "[blue] You have control"}, {Actor::Low, "[red] high has control"}},
         "camera 1 [FF 01 00 02 0A 00 0D]"},
        {"the lower priority is refused while the hold lasts",
         Actor::Low,
         "up 5",
         {{Actor::Low, "sent FF 01 00 08 00 05 0E"}},
         ""},
        {"the holder goes on steering",
         Actor::High,
         "stop",
         {{Actor::High, "[blue] You have control"}},
         "camera 1 [FF 01 00 00 00 00 01]"},
        {"the hold lapses after the lock time",
         Actor::Low,
         "",
         {{Actor::Low, "[blue] control released"}, {Actor::High, "[blue] control released"}},
         ""},
        {"then the lower priority steers again",
         Actor::Low,
         "down 5",
         {{Actor::Low, "[blue] You have control"}, {Actor::High, "[red] low has control"}},
         "camera 1 [FF 01 00 10 00 05 16]"},
        {"the supervisor asks to choose a camera",
         Actor::High,
         "choose",
         {{Actor::High, "sent CHOOSE"}},
         ""},
        {"the recorder fires the loading bay's soft trigger",
         Actor::Nvr,
         "fire KORVEL_7",
         {{Actor::Nvr, "fired "},
          {Actor::High, "camera 3 handed to you in choose mode: address 7, name Loading bay"}},
         "",
         true},
        {"the supervisor steers the camera handed over",
         Actor::High,
         "left 10",
         {{Actor::High, "[blue] You have control"}},
         "camera 3 [FF 03 00 04 0A 00 11]"},
    };

    Strings admitted;
    for (const auto& step : steps) {
        if (!step.input.empty())
            actors[step.actor]->WriteStdin(step.input + "\n");
        for (const auto& expected : step.shown) {
            Process& process = *actors[expected.first];
            std::size_t& from = seen[expected.first];
            auto lastSent = std::chrono::steady_clock::now();
            const bool found = WaitUntil([&] {
                if (FindInOrder(process.Stdout(), {expected.second}, from) != std::string::npos)
                    return true;
                if (step.again && &expected == &step.shown.back() &&
                    std::chrono::steady_clock::now() - lastSent >= std::chrono::milliseconds(500)) {
                    actors[step.actor]->WriteStdin(step.input + "\n");
                    lastSent = std::chrono::steady_clock::now();
                }
                return false;
            });
            ASSERT_TRUE(found) << step.what << ": " << Name(expected.first) << " did not show \""
                               << expected.second << "\" after:\n"
                               << process.Stdout().substr(from) << "\nlog:\n"
                               << service.Log();
            from = FindInOrder(process.Stdout(), {expected.second}, from);
        }
        if (!step.frame.empty()) {
            admitted.push_back(step.frame);
            // Exactly the admitted frames, in order: a refused frame would stand between them.
            const bool shown = WaitUntil([&] { return ShownFrames(camsim.Stdout()) == admitted; });
            ASSERT_TRUE(shown) << step.what << ": camsim showed\n" << camsim.Stdout();
        }
    }

    // Everything ends cleanly.
    low.CloseStdin();
    high.CloseStdin();
    for (Process* operatorClient : {&low, &high}) {
        ASSERT_TRUE(operatorClient->Wait());
        EXPECT_EQ(operatorClient->ExitStatus(), 0) << operatorClient->Stderr();
    }
    EXPECT_TRUE(service.Stop()) << service.Stderr();
    EXPECT_NE(service.Log().find("Closing connection to NVR at 127.0.0.1."), std::string::npos)
        << service.Log();
    nvrsim.WriteStdin("quit\n");
    ASSERT_TRUE(nvrsim.Wait());
    EXPECT_EQ(nvrsim.ExitStatus(), 0);
    camsim.Signal(SIGINT);
    ASSERT_TRUE(camsim.Wait());
    EXPECT_EQ(camsim.ExitStatus(), 0);
    EXPECT_NE(camsim.Stdout().find("frames: 5, bad checksums: 0, bytes outside frames: 0"),
              std::string::npos)
        << camsim.Stdout();
}

} // namespace korvel::end_to_end_test
