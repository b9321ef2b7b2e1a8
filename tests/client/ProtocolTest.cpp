// The operator messages through real loopback sockets: LOGIN, camera
// addresses, the CAMERA message and choose mode.
#include "ServiceUnderTest.h"
#include "client/OperatorProtocol.h"
#include "support/ConsoleTexts.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvel::protocol_test {

namespace {

const std::string LongName(1018, 'n');     // fills the buffer: "LOGIN " + name
const std::string LongPassword(1013, 'p'); // fills the buffer: "LOGIN dave " + password

const std::vector<UserAccount> Users = {
    {"alice", "secret", 5},    {"bob", "", 3},    {"carol", "two words  here", -2},
    {"dave", LongPassword, 8}, {LongName, "", 0},
};

// Cameras without transport: commands for them go nowhere.
const char* const Cameras =
    R"(<Camera Address="dead-camera" Port="/nonexistent/tty0" PelcoNumber="9"/>)"
    R"(<Camera Address="gate" Port="/nonexistent/tty1" PelcoNumber="200"/>)"
    R"(<Camera Address="too-high" Port="/nonexistent/tty2" PelcoNumber="300"/>)";

// A "pan left" frame for the camera.
std::string Frame(std::uint8_t pelcoAddress)
{
    return PelcoFrame(pelcoAddress, Pelco::PanLeft, 0x20);
}

const std::string DeadCameraMessage = OperatorProtocol::CameraMessage(true, "dead-camera", 9);
// Without its flag.
const std::string GateMessage =
    OperatorProtocol::CameraMessage(true, "gate", 200, "Gate West").substr(1);

// The next bytes the client gets are the answer to this login, so nothing
// else was sent to it before.
void ExpectNothingPending(OperatorClient& client)
{
    ExpectOnlyAnswer(client, "LOGIN bob", "OK");
}

} // namespace

// Outside the anonymous namespace: the tests derive from it.
class Protocol : public ::testing::Test
{
protected:
    Protocol()
    {
        service.OnLoop([this] { service.Control().SetNvrCameraName("gate", "Gate West"); });
    }

    std::unique_ptr<OperatorClient> Connect() { return Greeted(service.Port()); }

    ServiceUnderTest service{Users, Cameras};
};

TEST_F(Protocol, LoginChecksNameAndPasswordAsSent)
{
    const struct
    {
        std::string message;
        const char* reply;
        std::string line; // the whole log line after the time stamp
    } cases[] = {
        {"LOGIN alice secret", "OK", "Login from 127.0.0.1 by user alice with priority 5"},
        {"LOGIN alice wrong", "FAILURE", "Failed login from 127.0.0.1 by user alice"},
        {"LOGIN alice", "FAILURE", "Failed login from 127.0.0.1 by user alice"},
        {"LOGIN alice secret ", "FAILURE", "Failed login from 127.0.0.1 by user alice"},
        {"LOGIN Alice secret", "FAILURE", "Failed login from 127.0.0.1 by user Alice"},
        {"LOGIN-alice secret", "OK", "Login from 127.0.0.1 by user alice with priority 5"},
        {std::string("LOGIN alice secret\0junk", 23), "OK",
         "Login from 127.0.0.1 by user alice with priority 5"},
        {"LOGIN bob", "OK", "Login from 127.0.0.1 by user bob with priority 3"},
        {"LOGIN bob any thing", "OK", "Login from 127.0.0.1 by user bob with priority 3"},
        {"LOGIN bob\r\n", "FAILURE", "Failed login from 127.0.0.1 by user bob\\x0D\\x0A"},
        {"LOGIN carol two words  here", "OK",
         "Login from 127.0.0.1 by user carol with priority -2"},
        {"LOGIN carol two words  here\r\n", "FAILURE", "Failed login from 127.0.0.1 by user carol"},
        {"LOGIN  alice secret", "FAILURE", "Failed login from 127.0.0.1 by user "},
        {"LOGIN", "FAILURE", "Failed login from 127.0.0.1 by user "},
        {"LOGIN eve\n[ 2020-Jan-01 00:00:00 ] forged", "FAILURE",
         "Failed login from 127.0.0.1 by user eve\\x0A["},
        {"LOGIN dave " + LongPassword, "OK", "Login from 127.0.0.1 by user dave with priority 8"},
        {"LOGIN " + LongName, "OK",
         "Login from 127.0.0.1 by user " + LongName + " with priority 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message.substr(0, 40));
        const std::size_t logged = service.Log().size();
        auto client = Connect();
        client->Send(c.message);
        EXPECT_EQ(client->Read(std::string(c.reply).size()), c.reply);
        const std::string line = service.Log().substr(logged);
        const auto stamp = line.find("] ");
        ASSERT_NE(stamp, std::string::npos) << line;
        EXPECT_EQ(line.substr(stamp + 2), c.line + "\n");
    }
}

TEST_F(Protocol, MessagesForUnknownCamerasAreLoggedAndNotAnswered)
{
    const struct
    {
        std::string message;
        const char* line;
    } cases[] = {
        {"\x01", "Unknown Pelco camera ID 0"},
        {"\xFF", "Unknown Pelco camera ID 0"},
        {std::string("\xFF\x80\x00", 3), "Unknown Pelco camera ID 128"},
        {std::string("\x00\xFF", 2), "Unknown Pelco camera ID 255"},
        {Frame(44), "Unknown Pelco camera ID 44"}, // PelcoNumber 300 is never addressed
        {"login alice secret", "Unknown Pelco camera ID 111"},
        {"CHOOSX", "Unknown Pelco camera ID 72"},
        {"LOGI", "Unknown Pelco camera ID 79"},
    };
    auto client = Connect();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::size_t logged = service.Log().size();
        client->Send(c.message);
        service.WaitHandled(*client);
        EXPECT_NE(service.Log().find(std::string("] ") + c.line + "\n", logged), std::string::npos)
            << service.Log().substr(logged);
        ExpectNothingPending(*client);
    }

    // Ten such lines a minute from one address: the eleventh says that the
    // rest are not logged, and they are counted; another address is logged.
    for (int i = 0; i < 4; ++i) {
        client->Send(Frame(45));
        service.WaitHandled(*client);
    }
    auto other = Greeted(service.Port(), {"127.0.0.4"});
    other->Send(Frame(46));
    service.WaitHandled(*other);
    const std::string log = service.Log();
    EXPECT_EQ(Occurrences(log, "] Unknown Pelco camera ID 45\n"), 2u) << log;
    EXPECT_EQ(Occurrences(log, "] Unknown Pelco camera ID 45; further lines of this kind from "
                               "127.0.0.1 not logged until a minute has passed\n"),
              1u)
        << log;
    EXPECT_EQ(Occurrences(log, "] Unknown Pelco camera ID 46\n"), 1u) << log;
    StatusSnapshot status;
    service.OnLoop(
        [&] { service.Operations().FillStatus(status, std::chrono::steady_clock::now()); });
    EXPECT_EQ(status.counters.unknownCamera, 13u);
    EXPECT_EQ(status.counters.unknownCameraLinesSkipped, 1u);
}

TEST_F(Protocol, CameraMessageOnlyWhenTheSessionsCameraChanges)
{
    auto client = Connect();
    client->Send(Frame(9));
    EXPECT_EQ(client->Read(DeadCameraMessage.size()), DeadCameraMessage);
    client->Send(Frame(9));
    service.WaitHandled(*client);
    client->Send(Frame(200));
    EXPECT_EQ(client->Read(1 + GateMessage.size()), "1" + GateMessage)
        << "the repeated camera sent nothing; a known NVR name follows a tab";
    client->Send(Frame(9) + Frame(200));
    EXPECT_EQ(client->Read(DeadCameraMessage.size()), DeadCameraMessage)
        << "two frames in one receive go to the camera of the first";
    ExpectNothingPending(*client);
    EXPECT_EQ(service.Log().find("Unknown Pelco"), std::string::npos);
}

TEST_F(Protocol, ChooseModeHandsTheTriggeredCameraToOneSession)
{
    auto first = Connect();
    auto second = Connect();
    const auto send = [&](OperatorClient& client, const std::string& message) {
        client.Send(message);
        service.WaitHandled(client);
    };
    const auto trigger = [&](const std::string& camera) {
        service.OnLoop([&] { service.Control().SoftTriggerFired(camera); });
    };

    // Only the first CHOOSE counts; the handed camera goes to that session only.
    send(*first, "CHOOSE");
    send(*second, "CHOOSE\r\n");
    trigger("gate");
    EXPECT_EQ(first->Read(1 + GateMessage.size()), "0" + GateMessage);
    // The slot is free again: a trigger now reaches nobody.
    trigger("dead-camera");
    ExpectNothingPending(*first);
    ExpectNothingPending(*second);

    // CANCEL ends only the canceller's own choose mode.
    send(*second, "CHOOSE");
    send(*first, "CANCEL");
    send(*second, "CANCELLED");
    trigger("gate");
    send(*second, "CHOOSE");
    send(*first, "CANCEL");
    trigger("dead-camera");
    EXPECT_EQ(second->Read(DeadCameraMessage.size()), "0" + DeadCameraMessage.substr(1));
    ExpectNothingPending(*first);

    // A command for another camera, from any session, takes the slot over.
    send(*first, "CHOOSE");
    second->Send(Frame(200));
    EXPECT_EQ(second->Read(1 + GateMessage.size()), "1" + GateMessage);
    trigger("dead-camera");
    ExpectNothingPending(*first);
    ExpectNothingPending(*second);
}

TEST_F(Protocol, EndedChooserKeepsTheSlotUntilACommandTakesItOver)
{
    auto stayer = Connect();
    {
        auto leaver = Connect();
        leaver->Send("CHOOSE");
        service.WaitHandled(*leaver);
    }
    stayer->Send("CHOOSE");
    service.WaitHandled(*stayer);
    service.OnLoop([&] { service.Control().SoftTriggerFired("gate"); });
    ExpectNothingPending(*stayer);

    stayer->Send(Frame(9));
    EXPECT_EQ(stayer->Read(DeadCameraMessage.size()), DeadCameraMessage);
    stayer->Send("CHOOSE");
    service.WaitHandled(*stayer);
    service.OnLoop([&] { service.Control().SoftTriggerFired("gate"); });
    EXPECT_EQ(stayer->Read(1 + GateMessage.size()), "0" + GateMessage);
}

} // namespace korvel::protocol_test
