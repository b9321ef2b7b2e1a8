// A supervisor's actions as the operators see them, through real operator
// connections: reservations against the priorities, their end, a release,
// a session ended; supervisor logins; a reservation over a reload; and the
// stop when the holder's connection ends.
#include "CameraListener.h"
#include "ServiceUnderTest.h"
#include "client/OperatorProtocol.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/SimulatedTime.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace korvel::supervisor_desk_test {

namespace {

using namespace std::chrono_literals;
using Kind = SupervisorActions::Result::Kind;

const std::vector<UserAccount> Users = {
    {"alice", "", 1, "", false}, {"bob", "", 9, "", false}, {"sue", "s3cret", 0, "", true},
    {"tom", "", 0, "", true},
    // "secret", checked off the loop.
    {"chief", "", 0, "$2b$05$cQyzlsdzBU08N7b9NDTzheWMj78X8s0LwgiJfRSyRS.lVMlTMnuWW", true},
};

const char* const DeadCamera =
    R"(<Camera Address="dead-camera" Port="/nonexistent/tty" PelcoNumber="9"/>)";

std::string Frame(std::uint8_t pelcoAddress)
{
    return PelcoFrame(pelcoAddress, Pelco::PanLeft, 0x20);
}

const std::string Camera9 = OperatorProtocol::CameraMessage(true, "dead-camera", 9);
const std::string Lapsed(OperatorProtocol::ControlLapsed);
const std::string ForYou(OperatorProtocol::ReservedForYou);

} // namespace

TEST(SupervisorDesk, ReservationsReleasesAndEndsAsTheOperatorsSeeThem)
{
    SimulatedTime time;
    ServiceUnderTest service(Users, DeadCamera, 60, "127.0.0.1", SessionPolicy(), time);
    const std::size_t camera = service.CameraIndex("dead-camera");
    auto alice = LogIn(service.Port(), "alice", "");
    auto bob = LogIn(service.Port(), "bob", "");
    for (OperatorClient* op : {alice.get(), bob.get()}) {
        op->Send(Frame(9));
        ExpectNext(*op, Camera9);
    }
    const auto delivered = [&](OperatorClient& sender, int priority) {
        const std::uint16_t number = sender.LocalPort();
        service.OnLoop([&] { service.Control().CommandWritten(camera, number, priority); });
    };
    const auto act = [&](const std::function<SupervisorActions::Result(SupervisorActions&)>& what) {
        SupervisorActions::Result result;
        service.OnLoop([&] { result = what(service.Supervisors()); });
        return result;
    };
    const auto refused = [&] {
        StatusSnapshot status;
        service.OnLoop([&] { service.Control().Describe(status, time.Now()); });
        return status.cameras.at(0).refused;
    };

    delivered(*bob, 9);
    ExpectNext(*bob, std::string(OperatorProtocol::YouHaveControl));
    ExpectNext(*alice, OperatorProtocol::OtherHasControl("bob"));

    // For alice: bob's hold ends at once, whatever his priority.
    EXPECT_EQ(act([](auto& desk) { return desk.Reserve(9, "alice", 30min, "sue"); }).kind,
              Kind::Done);
    ExpectNext(*alice, ForYou);
    ExpectNext(*bob, OperatorProtocol::ReservedFor("alice"));
    const auto conflict = act([](auto& desk) { return desk.Reserve(9, "bob", 5min, "tom"); });
    EXPECT_EQ(conflict.kind, Kind::Conflict);
    EXPECT_EQ(conflict.reason, "reserved by sue");
    EXPECT_EQ(act([](auto& desk) { return desk.Reserve(77, std::nullopt, 5min, "sue"); }).kind,
              Kind::NotFound);
    ASSERT_TRUE(SendMessage(*bob, Frame(9)));
    service.WaitHandled(*bob);
    EXPECT_EQ(refused(), 1u);
    ASSERT_TRUE(SendMessage(*alice, Frame(9)));
    service.WaitHandled(*alice);
    EXPECT_EQ(refused(), 1u) << "alice's command passed";

    // A newcomer hears the reservation after its CAMERA message.
    auto carol = Greeted(service.Port());
    carol->Send(Frame(9));
    ExpectNext(*carol, Camera9);
    ExpectNext(*carol, OperatorProtocol::ReservedFor("alice"));

    // Its time runs out: with nobody holding, everybody hears the camera is free.
    time.Advance(30min);
    for (OperatorClient* op : {alice.get(), bob.get(), carol.get()})
        ExpectNext(*op, Lapsed);

    // Release: the hold ends as a lapse.
    delivered(*bob, 9);
    ExpectNext(*bob, std::string(OperatorProtocol::YouHaveControl));
    for (OperatorClient* op : {alice.get(), carol.get()})
        ExpectNext(*op, OperatorProtocol::OtherHasControl("bob"));
    EXPECT_EQ(act([](auto& desk) { return desk.Release(9, "sue"); }).kind, Kind::Done);
    for (OperatorClient* op : {alice.get(), bob.get(), carol.get()})
        ExpectNext(*op, Lapsed);

    // Out of service, then a session ended; a number nobody has.
    EXPECT_EQ(act([](auto& desk) { return desk.Reserve(9, std::nullopt, 1min, "tom"); }).kind,
              Kind::Done);
    for (OperatorClient* op : {alice.get(), bob.get(), carol.get()})
        ExpectNext(*op, std::string(OperatorProtocol::OutOfService));
    const std::uint16_t bobNumber = bob->LocalPort();
    EXPECT_EQ(act([&](auto& desk) { return desk.EndSession(bobNumber, "sue"); }).kind, Kind::Done);
    EXPECT_TRUE(bob->WaitClosed());
    EXPECT_EQ(act([](auto& desk) { return desk.EndSession(1, "sue"); }).kind, Kind::NotFound);
    ExpectOnlyAnswer(*alice, "LOGIN alice", "OK");
}

TEST(SupervisorDesk, SupervisorLoginsAreAnsweredOnTheLoop)
{
    ServiceUnderTest service(Users, DeadCamera);
    const struct
    {
        const char* user;
        const char* password;
        bool passed;
    } cases[] = {
        {"sue", "s3cret", true},
        {"sue", "wrong", false},
        {"alice", "", false}, // a good password, but no supervisor
        {"nobody", "", false},
        {"chief", "secret", true},
        {"chief", "Secret", false},
    };
    for (const auto& c : cases) {
        std::optional<bool> answer;
        bool answeredInside = false;
        service.OnLoop([&] {
            service.Supervisors().SupervisorLogin("10.0.0.5", c.user, c.password,
                                                  [&](bool passed) { answer = passed; });
            answeredInside = answer.has_value();
        });
        EXPECT_FALSE(answeredInside) << c.user;
        ASSERT_TRUE(WaitUntil([&] {
            bool known = false;
            service.OnLoop([&] { known = answer.has_value(); });
            return known;
        }))
            << c.user;
        EXPECT_EQ(*answer, c.passed) << c.user << " " << c.password;
    }
    EXPECT_TRUE(service.WaitForLog("Supervisor login from 10.0.0.5 by user sue"));
    EXPECT_TRUE(service.WaitForLog("Failed supervisor login from 10.0.0.5 by user alice"));
}

// A camera built again by a reload keeps its reservation; one removed ends
// it. A holder's connection that ends stops its camera at once, long before
// its hold would lapse.
TEST(SupervisorDesk, AReservationOverAReloadAndTheStopWhenTheHolderLeaves)
{
    SimulatedTime time;
    CameraListener lens("127.0.0.2");
    const auto element = [&](const std::string& more) {
        return R"(<Camera Address="127.0.0.2" Port=")" + std::to_string(lens.Port()) +
               R"(" PelcoNumber="5" )" + more + "/>";
    };
    ServiceUnderTest service(Users, element(R"(Protocol="D" StopOnRelease="1")"), 60,
                             "127.0.0.1", SessionPolicy(), time);
    ASSERT_TRUE(lens.Accept());
    const auto reservation = [&] {
        StatusSnapshot status;
        service.OnLoop([&] { service.Control().Describe(status, time.Now()); });
        return status.cameras.at(0).reservation;
    };

    auto bob = LogIn(service.Port(), "bob", "");
    ASSERT_TRUE(SendMessage(*bob, Frame(5)));
    EXPECT_EQ(lens.Read(7), Frame(5));
    ExpectNext(*bob, OperatorProtocol::CameraMessage(true, "127.0.0.2", 5));
    ExpectNext(*bob, std::string(OperatorProtocol::YouHaveControl));
    bob->Reset();
    const std::string stop("\xFF\x05\x00\x00\x00\x00\x05", 7);
    EXPECT_EQ(lens.Read(7), stop) << "stopped when its holder's connection ended";

    time.Advance(60s); // the hold lapses: no wait of the hold timer is pending
    service.OnLoop([] {});
    service.OnLoop([&] { service.Supervisors().Reserve(5, "alice", 10min, "sue"); });
    service.RebuildCamera("127.0.0.2", element(R"(Protocol="P" StopOnRelease="1" MaxCommandAgeMs="500")"));
    ASSERT_TRUE(reservation());
    EXPECT_EQ(reservation()->forUser, "alice");
    EXPECT_EQ(reservation()->by, "sue");
    time.Advance(10min);
    service.OnLoop([] {});
    EXPECT_FALSE(reservation()) << "lapsed in its time on the camera built again";
    service.OnLoop([&] { service.Supervisors().Reserve(5, std::nullopt, 10min, "sue"); });
    EXPECT_TRUE(reservation());
    service.RemoveCamera("127.0.0.2");
    StatusSnapshot status;
    service.OnLoop([&] { service.Control().Describe(status, time.Now()); });
    EXPECT_TRUE(status.cameras.empty());
}

} // namespace korvel::supervisor_desk_test
