// Who steers a camera and who is told: the priority test and the control
// notifications, with track cameras on loopback listeners and
// pseudo-terminals.
#include "Peers.h"
#include "ServiceUnderTest.h"
#include "client/OperatorProtocol.h"
#include "support/PseudoTerminal.h"
#include "support/SimulatedTime.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace korvel::arbitration_test {

namespace {

const std::vector<UserAccount> Users = {
    {"low", "", 5}, {"same", "", 5}, {"high", "", 6}, {"minus", "", -1}, {"plus", "", 1},
};

const std::string YouHaveControl(OperatorProtocol::YouHaveControl);
const std::string Lapsed(OperatorProtocol::ControlLapsed);

std::string HasControl(const std::string& user)
{
    return OperatorProtocol::OtherHasControl(user);
}

std::string Frame(unsigned char pelcoAddress, unsigned char speed)
{
    const unsigned char bytes[] = {0xFF,
                                   pelcoAddress,
                                   0x00,
                                   0x04,
                                   speed,
                                   0x00,
                                   static_cast<unsigned char>(pelcoAddress + 0x04 + speed)};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string CameraMessage(const std::string& address, unsigned pelcoNumber)
{
    return OperatorProtocol::CameraMessage(true, address, pelcoNumber);
}

class Operator
{
public:
    Operator(ServiceUnderTest& service, const std::string& user)
        : service(service), client(service.Port())
    {
        EXPECT_EQ(client.ReadGreeting(), OperatorProtocol::Greeting(client.LocalPort()));
        if (!user.empty())
            LogIn(user);
    }

    void LogIn(const std::string& user)
    {
        client.Send("LOGIN " + user);
        EXPECT_EQ(client.Read(2), "OK");
    }
    // A message the service answers nothing to, handled before the next one.
    void Send(const std::string& message)
    {
        client.Send(message);
        service.WaitHandled(client);
    }
    void Expect(const std::string& text) { EXPECT_EQ(client.Read(text.size()), text); }
    // The next bytes are the answer to a login: nothing else came before.
    void ExpectNothingPending() { LogIn("plus"); }

    OperatorClient& Client() { return client; }

private:
    ServiceUnderTest& service;
    OperatorClient client;
};

std::string CameraElement(const std::string& address, const std::string& port, unsigned pelcoNumber)
{
    return "<Camera Address=\"" + address + "\" Port=\"" + port + "\" PelcoNumber=\"" +
           std::to_string(pelcoNumber) + "\" BaudRate=\"9600\"/>";
}

std::string NetworkCamera(const CameraListener& listener, unsigned pelcoNumber)
{
    return CameraElement("127.0.0.2", std::to_string(listener.Port()), pelcoNumber);
}

const char* const DeadCamera =
    R"(<Camera Address="dead-camera" Port="/nonexistent/tty" PelcoNumber="9"/>)";

} // namespace

// The cameras report delivered commands as a camera does (CommandWritten);
// holds lapse on simulated time.
TEST(Arbitration, ControlNotificationsReachOnlyTheSessionsWorkingWithTheCamera)
{
    SimulatedTime time;
    ServiceUnderTest service(
        Users,
        std::string(DeadCamera) +
            R"(<Camera Address="other-camera" Port="/nonexistent/tty1" PelcoNumber="10"/>)",
        60, "127.0.0.1", SessionPolicy(), time);
    const std::size_t dead = service.CameraIndex("dead-camera");
    const std::size_t other = service.CameraIndex("other-camera");
    Operator holder(service, "low");
    Operator watcher(service, "same");
    Operator elsewhere(service, "high");
    Operator idle(service, "");
    for (Operator* op : {&holder, &watcher}) {
        op->Client().Send(Frame(9, 0x20));
        op->Expect(CameraMessage("dead-camera", 9));
    }
    elsewhere.Client().Send(Frame(10, 0x20));
    elsewhere.Expect(CameraMessage("other-camera", 10));
    const auto delivered = [&](std::size_t camera, Operator& sender, int priority) {
        const std::uint16_t number = sender.Client().LocalPort();
        service.OnLoop([&] { service.Control().CommandWritten(camera, number, priority); });
    };

    delivered(other, elsewhere, 6);
    elsewhere.Expect(YouHaveControl);
    delivered(dead, holder, 5);
    holder.Expect(YouHaveControl);
    watcher.Expect(HasControl("low"));

    time.Advance(60s);
    elsewhere.Expect(Lapsed); // and nothing about the other camera before it
    holder.Expect(Lapsed);
    watcher.Expect(Lapsed);
    idle.ExpectNothingPending();

    // A failed login keeps the former user's name.
    holder.Client().Send("LOGIN nobody");
    holder.Expect("FAILURE");
    delivered(dead, holder, 5);
    holder.Expect(YouHaveControl);
    watcher.Expect(HasControl("low"));

    // A holder that has gone is announced without a name.
    const std::uint16_t holderNumber = holder.Client().LocalPort();
    holder.Client().Reset();
    ASSERT_TRUE(WaitUntil([&] { return !ServiceSideOf(holder.Client()); }));
    service.OnLoop([] {});
    service.OnLoop([&] { service.Control().CommandWritten(dead, holderNumber, 5); });
    watcher.Expect(HasControl(""));
    elsewhere.ExpectNothingPending();
}

TEST(Arbitration, SessionThatTurnsToAnotherCameraHearsOnlyAboutThatOne)
{
    SimulatedTime time;
    ServiceUnderTest service(
        Users,
        std::string(DeadCamera) +
            R"(<Camera Address="other-camera" Port="/nonexistent/tty1" PelcoNumber="10"/>)",
        60, "127.0.0.1", SessionPolicy(), time);
    Operator mover(service, "low");
    Operator stayer(service, "same");
    for (Operator* op : {&mover, &stayer}) {
        op->Client().Send(Frame(9, 0x20));
        op->Expect(CameraMessage("dead-camera", 9));
    }
    mover.Client().Send(Frame(10, 0x20));
    mover.Expect(CameraMessage("other-camera", 10));

    const std::uint16_t stayerNumber = stayer.Client().LocalPort();
    service.OnLoop([&] {
        service.Control().CommandWritten(service.CameraIndex("dead-camera"), stayerNumber, 5);
    });
    time.Advance(60s);
    stayer.Expect(YouHaveControl);
    stayer.Expect(Lapsed);
    mover.ExpectNothingPending();

    service.OnLoop([&] {
        service.Control().CommandWritten(service.CameraIndex("other-camera"), stayerNumber, 5);
    });
    mover.Expect(HasControl("same"));
    stayer.ExpectNothingPending();
}

TEST(Arbitration, PriorityDecidesWhoSteersTheCamera)
{
    CameraListener network("127.0.0.2");
    PseudoTerminal serial;
    const struct
    {
        std::string element;
        std::string address;
        unsigned pelcoNumber;
        std::function<std::string(std::size_t)> read;
    } cameras[] = {
        {NetworkCamera(network, 3), "127.0.0.2", 3,
         [&](std::size_t count) { return network.Read(count); }},
        {CameraElement("serial-camera", serial.SlavePath(), 4), "serial-camera", 4,
         [&](std::size_t count) { return serial.Read(count); }},
    };
    for (const auto& camera : cameras) {
        SCOPED_TRACE(camera.element);
        ServiceUnderTest service(Users, camera.element, 600);
        if (camera.address == "127.0.0.2") {
            ASSERT_TRUE(network.Accept());
        }
        const unsigned char pelco = static_cast<unsigned char>(camera.pelcoNumber);
        const std::string selected = CameraMessage(camera.address, camera.pelcoNumber);

        Operator low(service, "low");
        Operator same(service, "same");
        Operator high(service, "high");

        low.Client().Send(Frame(pelco, 1));
        low.Expect(selected);
        low.Expect(YouHaveControl);
        EXPECT_EQ(camera.read(7), Frame(pelco, 1));

        // Equal priority waits: no bytes to the camera, nothing to anyone.
        same.Client().Send(Frame(pelco, 2));
        same.Expect(selected);
        service.WaitHandled(same.Client());

        // Higher priority takes over once its command has been written.
        high.Client().Send(Frame(pelco, 3));
        high.Expect(selected);
        high.Expect(YouHaveControl);
        low.Expect(HasControl("high"));
        same.Expect(HasControl("high"));
        EXPECT_EQ(camera.read(7), Frame(pelco, 3)) << "the refused command never reached it";

        low.Send(Frame(pelco, 4));
        // The holder always passes, whatever its priority is now.
        high.LogIn("plus");
        high.Send(Frame(pelco, 5));
        high.Expect(YouHaveControl);
        low.Expect(HasControl("plus"));
        same.Expect(HasControl("plus"));
        EXPECT_EQ(camera.read(7), Frame(pelco, 5));
    }
}

TEST(Arbitration, SessionWithoutLoginSteersWithPriorityZero)
{
    CameraListener camera("127.0.0.2");
    ServiceUnderTest service(Users, NetworkCamera(camera, 3), 600);
    ASSERT_TRUE(camera.Accept());
    Operator anonymous(service, "");
    Operator minus(service, "minus");
    Operator plus(service, "plus");

    anonymous.Client().Send(Frame(3, 1));
    anonymous.Expect(CameraMessage("127.0.0.2", 3));
    anonymous.Expect(YouHaveControl);
    EXPECT_EQ(camera.Read(7), Frame(3, 1));

    minus.Client().Send(Frame(3, 2));
    minus.Expect(CameraMessage("127.0.0.2", 3));
    service.WaitHandled(minus.Client());

    plus.Client().Send(Frame(3, 3));
    plus.Expect(CameraMessage("127.0.0.2", 3));
    plus.Expect(YouHaveControl);
    anonymous.Expect(HasControl("plus"));
    minus.Expect(HasControl("plus"));
    EXPECT_EQ(camera.Read(7), Frame(3, 3));
}

TEST(Arbitration, HoldLapsesOnceForTheCamerasWatchersOnly)
{
    CameraListener camera("127.0.0.2");
    SimulatedTime time;
    ServiceUnderTest service(Users, NetworkCamera(camera, 3) + DeadCamera, 1, "127.0.0.1",
                             SessionPolicy(), time);
    ASSERT_TRUE(camera.Accept());
    Operator steering(service, "low");
    Operator watching(service, "same");
    Operator elsewhere(service, "high");
    watching.Client().Send(Frame(3, 0));
    watching.Expect(CameraMessage("127.0.0.2", 3));
    watching.Expect(YouHaveControl);
    EXPECT_EQ(camera.Read(7), Frame(3, 0));
    time.Advance(1s);
    watching.Expect(Lapsed);
    elsewhere.Client().Send(Frame(9, 0));
    elsewhere.Expect(CameraMessage("dead-camera", 9));

    // Once lapsed, an operator of the same priority may steer.
    steering.Client().Send(Frame(3, 1));
    steering.Expect(CameraMessage("127.0.0.2", 3));
    steering.Expect(YouHaveControl);
    watching.Expect(HasControl("low"));
    EXPECT_EQ(camera.Read(7), Frame(3, 1));
    time.Advance(1s);
    steering.Expect(Lapsed);
    watching.Expect(Lapsed);

    // Well past another LockTime: no second release.
    time.Advance(2500ms);
    service.OnLoop([] {});
    for (Operator* op : {&steering, &watching, &elsewhere})
        op->ExpectNothingPending();
}

TEST(Arbitration, CommandForACameraWithoutLinkChangesNothing)
{
    CameraListener camera("127.0.0.2");
    ServiceUnderTest service(Users, NetworkCamera(camera, 3) + CameraElement("127.0.0.4", "1x", 5));
    ASSERT_TRUE(camera.Accept());
    Operator op(service, "low");
    op.Client().Send(Frame(5, 1));
    op.Expect(CameraMessage("127.0.0.4", 5));
    service.WaitHandled(op.Client());
    op.Client().Send(Frame(3, 1));
    op.Expect(CameraMessage("127.0.0.2", 3)); // no control notification came first
    op.Expect(YouHaveControl);
    EXPECT_EQ(camera.Read(7), Frame(3, 1));
}

// Two operators of the same priority whose commands reach the service in one
// turn of its loop: both are admitted and written, and the hold goes to the
// sender whose write completed last; each hears of both holders in turn.
TEST(Arbitration, CommandsAdmittedInOneTurnAreAllWrittenAndTheLastCompletedHolds)
{
    CameraListener camera("127.0.0.2");
    ServiceUnderTest service(Users, NetworkCamera(camera, 3), 600);
    ASSERT_TRUE(camera.Accept());
    Operator low(service, "low");
    Operator same(service, "same");
    service.OnLoop([] {}); // the replies' completions have run: both sessions wait to read
    service.Pause();
    low.Client().Send(Frame(3, 1));
    same.Client().Send(Frame(3, 2));
    ASSERT_TRUE(WaitUntil([&] {
        for (Operator* op : {&low, &same}) {
            const auto state = ServiceSideOf(op->Client());
            if (!state || state->unreadBytes != 7)
                return false;
        }
        return true;
    }));
    service.Resume();

    const std::string arrived = camera.Read(14);
    const bool lowFirst = arrived.substr(0, 7) == Frame(3, 1);
    ASSERT_EQ(arrived, lowFirst ? Frame(3, 1) + Frame(3, 2) : Frame(3, 2) + Frame(3, 1));
    Operator& first = lowFirst ? low : same;
    Operator& last = lowFirst ? same : low;
    const std::string lastName = lowFirst ? "same" : "low";
    first.Expect(CameraMessage("127.0.0.2", 3));
    first.Expect(YouHaveControl);
    first.Expect(HasControl(lastName));
    last.Expect(CameraMessage("127.0.0.2", 3));
    last.Expect(HasControl(lowFirst ? "low" : "same"));
    last.Expect(YouHaveControl);

    first.Send(Frame(3, 3)); // refused: the same priority as the holder
    last.Client().Send(Frame(3, 4));
    EXPECT_EQ(camera.Read(7), Frame(3, 4));
    last.Expect(YouHaveControl);
    first.Expect(HasControl(lastName));
}

TEST(Arbitration, TwoFramesInOneReceiveGoTogetherToTheFirstFramesCamera)
{
    CameraListener first("127.0.0.2");
    PseudoTerminal second;
    ServiceUnderTest service(
        Users, NetworkCamera(first, 3) + CameraElement("serial-camera", second.SlavePath(), 4),
        600);
    ASSERT_TRUE(first.Accept());
    Operator op(service, "low");

    op.Client().Send(Frame(3, 1) + Frame(4, 2));
    op.Expect(CameraMessage("127.0.0.2", 3));
    op.Expect(YouHaveControl);
    EXPECT_EQ(first.Read(14), Frame(3, 1) + Frame(4, 2));

    op.Client().Send(Frame(4, 3));
    op.Expect(CameraMessage("serial-camera", 4));
    op.Expect(YouHaveControl);
    EXPECT_EQ(second.Read(7), Frame(4, 3)) << "the serial camera got nothing before";
}

} // namespace korvel::arbitration_test
