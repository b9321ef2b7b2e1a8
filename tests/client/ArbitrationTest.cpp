// Who steers a camera and who is told: the priority test and the control
// notifications, with track cameras on loopback listeners and
// pseudo-terminals.
#include "CameraListener.h"
#include "ServiceUnderTest.h"
#include "client/OperatorProtocol.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
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

// A "pan left" frame at the speed.
std::string Frame(std::uint8_t pelcoAddress, std::uint8_t speed)
{
    return PelcoFrame(pelcoAddress, Pelco::PanLeft, speed);
}

std::string CameraMessage(const std::string& address, unsigned pelcoNumber)
{
    return OperatorProtocol::CameraMessage(true, address, pelcoNumber);
}

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
    auto holder = LogIn(service.Port(), "low", "");
    auto watcher = LogIn(service.Port(), "same", "");
    auto elsewhere = LogIn(service.Port(), "high", "");
    auto idle = Greeted(service.Port());
    for (OperatorClient* op : {holder.get(), watcher.get()}) {
        op->Send(Frame(9, 0x20));
        ExpectNext(*op, CameraMessage("dead-camera", 9));
    }
    elsewhere->Send(Frame(10, 0x20));
    ExpectNext(*elsewhere, CameraMessage("other-camera", 10));
    const auto delivered = [&](std::size_t camera, OperatorClient& sender, int priority) {
        const std::uint16_t number = sender.LocalPort();
        service.OnLoop([&] { service.Control().CommandWritten(camera, number, priority); });
    };

    delivered(other, *elsewhere, 6);
    ExpectNext(*elsewhere, YouHaveControl);
    delivered(dead, *holder, 5);
    ExpectNext(*holder, YouHaveControl);
    ExpectNext(*watcher, HasControl("low"));

    time.Advance(60s);
    ExpectNext(*elsewhere, Lapsed); // and nothing about the other camera before it
    ExpectNext(*holder, Lapsed);
    ExpectNext(*watcher, Lapsed);
    ExpectOnlyAnswer(*idle, "LOGIN plus", "OK");

    // A failed login keeps the former user's name.
    holder->Send("LOGIN nobody");
    ExpectNext(*holder, "FAILURE");
    delivered(dead, *holder, 5);
    ExpectNext(*holder, YouHaveControl);
    ExpectNext(*watcher, HasControl("low"));

    // A holder that has gone is announced without a name.
    const std::uint16_t holderNumber = holder->LocalPort();
    holder->Reset();
    ASSERT_TRUE(WaitUntil([&] { return !ServiceSideOf(*holder); }));
    service.OnLoop([] {});
    service.OnLoop([&] { service.Control().CommandWritten(dead, holderNumber, 5); });
    ExpectNext(*watcher, HasControl(""));
    ExpectOnlyAnswer(*elsewhere, "LOGIN plus", "OK");
}

TEST(Arbitration, SessionThatTurnsToAnotherCameraHearsOnlyAboutThatOne)
{
    SimulatedTime time;
    ServiceUnderTest service(
        Users,
        std::string(DeadCamera) +
            R"(<Camera Address="other-camera" Port="/nonexistent/tty1" PelcoNumber="10"/>)",
        60, "127.0.0.1", SessionPolicy(), time);
    auto mover = LogIn(service.Port(), "low", "");
    auto stayer = LogIn(service.Port(), "same", "");
    for (OperatorClient* op : {mover.get(), stayer.get()}) {
        op->Send(Frame(9, 0x20));
        ExpectNext(*op, CameraMessage("dead-camera", 9));
    }
    mover->Send(Frame(10, 0x20));
    ExpectNext(*mover, CameraMessage("other-camera", 10));

    const std::uint16_t stayerNumber = stayer->LocalPort();
    service.OnLoop([&] {
        service.Control().CommandWritten(service.CameraIndex("dead-camera"), stayerNumber, 5);
    });
    time.Advance(60s);
    ExpectNext(*stayer, YouHaveControl);
    ExpectNext(*stayer, Lapsed);
    ExpectOnlyAnswer(*mover, "LOGIN plus", "OK");

    service.OnLoop([&] {
        service.Control().CommandWritten(service.CameraIndex("other-camera"), stayerNumber, 5);
    });
    ExpectNext(*mover, HasControl("same"));
    ExpectOnlyAnswer(*stayer, "LOGIN plus", "OK");
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

        auto low = LogIn(service.Port(), "low", "");
        auto same = LogIn(service.Port(), "same", "");
        auto high = LogIn(service.Port(), "high", "");

        low->Send(Frame(pelco, 1));
        ExpectNext(*low, selected);
        ExpectNext(*low, YouHaveControl);
        EXPECT_EQ(camera.read(7), Frame(pelco, 1));

        // Equal priority waits: no bytes to the camera, nothing to anyone.
        same->Send(Frame(pelco, 2));
        ExpectNext(*same, selected);
        service.WaitHandled(*same);

        // Higher priority takes over once its command has been written.
        high->Send(Frame(pelco, 3));
        ExpectNext(*high, selected);
        ExpectNext(*high, YouHaveControl);
        ExpectNext(*low, HasControl("high"));
        ExpectNext(*same, HasControl("high"));
        EXPECT_EQ(camera.read(7), Frame(pelco, 3)) << "the refused command never reached it";

        low->Send(Frame(pelco, 4));
        service.WaitHandled(*low);
        // The holder always passes, whatever its priority is now.
        ExpectOnlyAnswer(*high, "LOGIN plus", "OK");
        high->Send(Frame(pelco, 5));
        service.WaitHandled(*high);
        ExpectNext(*high, YouHaveControl);
        ExpectNext(*low, HasControl("plus"));
        ExpectNext(*same, HasControl("plus"));
        EXPECT_EQ(camera.read(7), Frame(pelco, 5));
    }
}

// A client on another address that binds the holder's source port has the
// holder's session number. Without RequireLogin that makes it the holder (the
// protocol knows sessions by number); with it, the hold stays the
// connection's that took it.
TEST(Arbitration, ABorrowedSourcePortTakesOverAHoldOnlyWithoutRequireLogin)
{
    for (const bool requireLogin : {true, false}) {
        SCOPED_TRACE(requireLogin ? "RequireLogin" : "without RequireLogin");
        PseudoTerminal serial;
        SessionPolicy policy;
        policy.requireLogin = requireLogin;
        ServiceUnderTest service(Users, CameraElement("serial-camera", serial.SlavePath(), 4), 600,
                                 "127.0.0.1", policy);
        const std::string selected = CameraMessage("serial-camera", 4);
        auto holder = LogIn(service.Port(), "high", "");
        holder->Send(Frame(4, 1));
        ExpectNext(*holder, selected);
        ExpectNext(*holder, YouHaveControl);
        EXPECT_EQ(serial.Read(7), Frame(4, 1));

        auto borrower = LogIn(service.Port(), "plus", "", {"127.0.0.3", holder->LocalPort()});
        borrower->Send(Frame(4, 2));
        ExpectNext(*borrower, selected);
        if (requireLogin) {
            service.WaitHandled(*borrower);
            holder->Send(Frame(4, 3));
            ExpectNext(*holder, YouHaveControl);
            ExpectNext(*borrower, HasControl("high"));
            EXPECT_EQ(serial.Read(7), Frame(4, 3)) << "the borrower's command never reached it";
        } else {
            ExpectNext(*borrower, YouHaveControl);
            EXPECT_EQ(serial.Read(7), Frame(4, 2));
            ExpectOnlyAnswer(*holder, "LOGIN high", "OK");
        }
    }
}

TEST(Arbitration, SessionWithoutLoginSteersWithPriorityZero)
{
    CameraListener camera("127.0.0.2");
    ServiceUnderTest service(Users, NetworkCamera(camera, 3), 600);
    ASSERT_TRUE(camera.Accept());
    auto anonymous = Greeted(service.Port());
    auto minus = LogIn(service.Port(), "minus", "");
    auto plus = LogIn(service.Port(), "plus", "");

    anonymous->Send(Frame(3, 1));
    ExpectNext(*anonymous, CameraMessage("127.0.0.2", 3));
    ExpectNext(*anonymous, YouHaveControl);
    EXPECT_EQ(camera.Read(7), Frame(3, 1));

    minus->Send(Frame(3, 2));
    ExpectNext(*minus, CameraMessage("127.0.0.2", 3));
    service.WaitHandled(*minus);

    plus->Send(Frame(3, 3));
    ExpectNext(*plus, CameraMessage("127.0.0.2", 3));
    ExpectNext(*plus, YouHaveControl);
    ExpectNext(*anonymous, HasControl("plus"));
    ExpectNext(*minus, HasControl("plus"));
    EXPECT_EQ(camera.Read(7), Frame(3, 3));
}

TEST(Arbitration, HoldLapsesOnceForTheCamerasWatchersOnly)
{
    CameraListener camera("127.0.0.2");
    SimulatedTime time;
    ServiceUnderTest service(Users, NetworkCamera(camera, 3) + DeadCamera, 1, "127.0.0.1",
                             SessionPolicy(), time);
    ASSERT_TRUE(camera.Accept());
    auto steering = LogIn(service.Port(), "low", "");
    auto watching = LogIn(service.Port(), "same", "");
    auto elsewhere = LogIn(service.Port(), "high", "");
    watching->Send(Frame(3, 0));
    ExpectNext(*watching, CameraMessage("127.0.0.2", 3));
    ExpectNext(*watching, YouHaveControl);
    EXPECT_EQ(camera.Read(7), Frame(3, 0));
    time.Advance(1s);
    ExpectNext(*watching, Lapsed);
    elsewhere->Send(Frame(9, 0));
    ExpectNext(*elsewhere, CameraMessage("dead-camera", 9));

    // Once lapsed, an operator of the same priority may steer.
    steering->Send(Frame(3, 1));
    ExpectNext(*steering, CameraMessage("127.0.0.2", 3));
    ExpectNext(*steering, YouHaveControl);
    ExpectNext(*watching, HasControl("low"));
    EXPECT_EQ(camera.Read(7), Frame(3, 1));
    time.Advance(1s);
    ExpectNext(*steering, Lapsed);
    ExpectNext(*watching, Lapsed);

    // Well past another LockTime: no second release.
    time.Advance(2500ms);
    service.OnLoop([] {});
    for (OperatorClient* op : {steering.get(), watching.get(), elsewhere.get()})
        ExpectOnlyAnswer(*op, "LOGIN plus", "OK");
}

TEST(Arbitration, CommandForACameraWithoutLinkChangesNothing)
{
    CameraListener camera("127.0.0.2");
    ServiceUnderTest service(Users, NetworkCamera(camera, 3) + CameraElement("127.0.0.4", "1x", 5));
    ASSERT_TRUE(camera.Accept());
    auto op = LogIn(service.Port(), "low", "");
    op->Send(Frame(5, 1));
    ExpectNext(*op, CameraMessage("127.0.0.4", 5));
    service.WaitHandled(*op);
    op->Send(Frame(3, 1));
    ExpectNext(*op, CameraMessage("127.0.0.2", 3)); // no control notification came first
    ExpectNext(*op, YouHaveControl);
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
    auto low = LogIn(service.Port(), "low", "");
    auto same = LogIn(service.Port(), "same", "");
    service.OnLoop([] {}); // the replies' completions have run: both sessions wait to read
    service.Pause();
    low->Send(Frame(3, 1));
    same->Send(Frame(3, 2));
    ASSERT_TRUE(WaitUntil([&] {
        for (OperatorClient* op : {low.get(), same.get()}) {
            const auto state = ServiceSideOf(*op);
            if (!state || state->unreadBytes != 7)
                return false;
        }
        return true;
    }));
    service.Resume();

    const std::string arrived = camera.Read(14);
    const bool lowFirst = arrived.substr(0, 7) == Frame(3, 1);
    ASSERT_EQ(arrived, lowFirst ? Frame(3, 1) + Frame(3, 2) : Frame(3, 2) + Frame(3, 1));
    OperatorClient& first = lowFirst ? *low : *same;
    OperatorClient& last = lowFirst ? *same : *low;
    const std::string lastName = lowFirst ? "same" : "low";
    ExpectNext(first, CameraMessage("127.0.0.2", 3));
    ExpectNext(first, YouHaveControl);
    ExpectNext(first, HasControl(lastName));
    ExpectNext(last, CameraMessage("127.0.0.2", 3));
    ExpectNext(last, HasControl(lowFirst ? "low" : "same"));
    ExpectNext(last, YouHaveControl);

    first.Send(Frame(3, 3)); // refused: the same priority as the holder
    service.WaitHandled(first);
    last.Send(Frame(3, 4));
    EXPECT_EQ(camera.Read(7), Frame(3, 4));
    ExpectNext(last, YouHaveControl);
    ExpectNext(first, HasControl(lastName));
}

TEST(Arbitration, TwoFramesInOneReceiveGoTogetherToTheFirstFramesCamera)
{
    CameraListener first("127.0.0.2");
    PseudoTerminal second;
    ServiceUnderTest service(
        Users, NetworkCamera(first, 3) + CameraElement("serial-camera", second.SlavePath(), 4),
        600);
    ASSERT_TRUE(first.Accept());
    auto op = LogIn(service.Port(), "low", "");

    op->Send(Frame(3, 1) + Frame(4, 2));
    ExpectNext(*op, CameraMessage("127.0.0.2", 3));
    ExpectNext(*op, YouHaveControl);
    EXPECT_EQ(first.Read(14), Frame(3, 1) + Frame(4, 2));

    op->Send(Frame(4, 3));
    ExpectNext(*op, CameraMessage("serial-camera", 4));
    ExpectNext(*op, YouHaveControl);
    EXPECT_EQ(second.Read(7), Frame(4, 3)) << "the serial camera got nothing before";
}

} // namespace korvel::arbitration_test
