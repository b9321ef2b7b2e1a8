// Two operators contend for a network camera and a serial camera through the
// service run in the foreground, with every wire and the log checked.
#include "support/ServiceProcess.h"
#include "CameraListener.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace korvel::service_process_test {

namespace {

// A "pan right" frame at the speed.
std::string Frame(std::uint8_t pelcoAddress, std::uint8_t speed)
{
    return PelcoFrame(pelcoAddress, Pelco::PanRight, speed);
}

} // namespace

TEST(ServiceProcess, TwoOperatorsContendForNetworkAndSerialCameras)
{
    CameraListener network("127.0.0.2");
    PseudoTerminal serial;
    ServiceProcess service(R"(<?xml version="1.0"?>
<tlKorvel>
  <Options RetryIntervalSecs="1" ClientAddress="127.0.0.1" ClientPort="0" />
  <KorvelControl LockTime="3">
    <User Name="chief" Password="top secret" Priority="9" />
    <User Name="guard" Password="pw" Priority="2" />
  </KorvelControl>
  <NVR Address="127.0.0.9" Port="22609" Login="korvel" Password="">
    <Camera Address="127.0.0.2" Port=")" +
                           std::to_string(network.Port()) + R"(" PelcoNumber="3" />
    <Camera Address="gate" Port=")" +
                           serial.SlavePath() + R"(" PelcoNumber="4" BaudRate="9600" />
  </NVR>
</tlKorvel>
)");
    ASSERT_TRUE(network.Accept()) << service.Log();

    const auto guard = Greeted(service.Port());
    const auto chief = Greeted(service.Port());
    guard->Send("LOGIN guard wrong");
    ExpectNext(*guard, "FAILURE");
    guard->Send("LOGIN guard pw");
    ExpectNext(*guard, "OK");
    chief->Send("LOGIN chief top secret");
    ExpectNext(*chief, "OK");

    // The guard steers the free network camera.
    guard->Send(Frame(3, 0x10));
    ExpectNext(*guard, "1CAMERA\t127.0.0.2\t3#0000F0 You have control");
    EXPECT_EQ(network.Read(7), Frame(3, 0x10));

    // The chief outranks the guard and takes it over.
    chief->Send(Frame(3, 0x20));
    ExpectNext(*chief, "1CAMERA\t127.0.0.2\t3#0000F0 You have control");
    ExpectNext(*guard, "#F00000 chief has control");
    EXPECT_EQ(network.Read(7), Frame(3, 0x20));

    // The serial camera is free for the guard, unchanged bytes on the line.
    guard->Send(Frame(4, 0x30));
    ExpectNext(*guard, "1CAMERA\tgate\t4#0000F0 You have control");
    EXPECT_EQ(serial.Read(7), Frame(4, 0x30));

    // Back on the network camera the guard is refused until the chief's hold lapses.
    guard->Send(Frame(3, 0x40));
    ExpectNext(*guard, "1CAMERA\t127.0.0.2\t3");
    ExpectNext(*chief, "#0000F0 ");
    ExpectNext(*guard, "#0000F0 ");
    guard->Send(Frame(3, 0x50));
    ExpectNext(*guard, "#0000F0 You have control");
    ExpectNext(*chief, "#F00000 guard has control");
    EXPECT_EQ(network.Read(7), Frame(3, 0x50)) << "the refused command never reached it";

    EXPECT_TRUE(service.Stop()) << service.Stderr();
    const std::string log = service.Log();
    for (const char* line : {"] Failed login from 127.0.0.1 by user guard\n",
                             "] Login from 127.0.0.1 by user guard with priority 2\n",
                             "] Login from 127.0.0.1 by user chief with priority 9\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    EXPECT_EQ(log.find("Unknown Pelco"), std::string::npos) << log;
    EXPECT_EQ(log.find("Lost session"), std::string::npos) << log;
}

TEST(ServiceProcess, SessionPolicyFromTheConfigurationAndTheDescriptorLimit)
{
    const struct
    {
        const char* name;
        const char* limit;       // shell command run before the service; "" for none
        const char* maxSessions; // Options attribute, "" for none
        std::size_t cap;
        const char* line; // logged at start, "" for none
    } cases[] = {
        {"configured cap", "", "MaxSessions=\"2\"", 2, ""},
        {"hard descriptor limit lowers the cap", "ulimit -n 90 && ", "", 25,
         "] MaxSessions=1000 needs more descriptors than the limit of 90 leaves; accepting at "
         "most 25 operator sessions\n"},
        {"soft limit is raised to the hard one", "ulimit -Sn 90 && ", "MaxSessions=\"40\"", 40, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceProcess service(std::string(R"(<?xml version="1.0"?>
<tlKorvel>
  <Options ClientAddress="127.0.0.1" ClientPort="0" )") +
                                   c.maxSessions + R"( />
  <KorvelControl RequireLogin="1"><User Name="guard" Password="pw" /></KorvelControl>
  <NVR Address="127.0.0.9" Port="22609" Login="korvel" Password="">
    <Camera Address="gate" Port="/nonexistent/tty" PelcoNumber="4" />
  </NVR>
</tlKorvel>
)",
                               {"/bin/sh", "-c", std::string(c.limit) + "exec \"$@\"", "sh"});
        // Commands before a login are ignored, and said so once.
        std::vector<std::unique_ptr<OperatorClient>> sessions;
        sessions.push_back(Greeted(service.Port()));
        OperatorClient& first = *sessions.front();
        first.Send(Frame(4, 0x10));
        ASSERT_TRUE(WaitUntil(
            [&] { return service.Log().find("Ignoring commands") != std::string::npos; }));
        first.Send("LOGIN guard pw");
        ExpectNext(first, "OK");

        // Every place taken by a logged-in session: none gives way.
        for (std::size_t i = 1; i < c.cap; ++i)
            sessions.push_back(LogIn(service.Port(), "guard", "pw"));
        OperatorClient refused(service.Port());
        EXPECT_EQ(refused.Read(1), "") << "no greeting beyond the cap";

        EXPECT_TRUE(service.Stop()) << service.Stderr();
        const std::string log = service.Log();
        const std::string ignored = "] Ignoring commands from session " +
                                    std::to_string(first.LocalPort()) +
                                    " at 127.0.0.1 until it logs in\n";
        EXPECT_NE(log.find(ignored), std::string::npos) << log;
        EXPECT_EQ(log.find("Unknown Pelco"), std::string::npos) << log;
        EXPECT_NE(log.find("] Too many KorvelControl sessions (" + std::to_string(c.cap) + ")"),
                  std::string::npos)
            << log;
        if (*c.line)
            EXPECT_NE(log.find(c.line), std::string::npos) << log;
        else
            EXPECT_EQ(log.find("needs more descriptors"), std::string::npos) << log;
    }
}

} // namespace korvel::service_process_test
