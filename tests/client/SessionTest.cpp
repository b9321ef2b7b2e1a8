// Operator connections through real loopback sockets: the greeting, message
// framing, the registry by session number, how sessions end, and how the
// service copes with clients that stop reading or vanish.
#include "ServiceUnderTest.h"
#include "camera/TrackCamera.h"
#include "client/OperatorProtocol.h"
#include "support/ConsoleTexts.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/SimulatedTime.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <vector>

namespace korvel::session_test {

namespace {

const std::vector<UserAccount> Users = {
    {"alice", "secret", 5},
    {"bob", "", 3},
};

// A camera without transport: commands for it go nowhere, so only the
// service's own messages reach the clients.
const char* const DeadCamera =
    R"(<Camera Address="dead-camera" Port="/nonexistent/tty" PelcoNumber="9"/>)";
const std::string DeadCameraFrame = PelcoFrame(9, Pelco::PanLeft, 0x20);
const std::string DeadCameraMessage = OperatorProtocol::CameraMessage(true, "dead-camera", 9);

} // namespace

TEST(ClientSession, GreetsWithTheSourcePortOnlyAndLogsNothing)
{
    ServiceUnderTest service(Users);
    for (int round = 0; round < 3; ++round) {
        OperatorClient client(service.Port());
        EXPECT_EQ(client.ReadGreeting(), "SESSION " + std::to_string(client.LocalPort()));
        client.Send("LOGIN bob");
        EXPECT_EQ(client.Read(2), "OK") << "no line end or zero byte after the greeting";
    }
    OperatorClient silent(service.Port());
    EXPECT_EQ(silent.ReadGreeting(), "SESSION " + std::to_string(silent.LocalPort()));
    service.OnLoop([] {});
    EXPECT_EQ(Occurrences(service.Log(), "\n"), 3u) << "only the LOGIN lines:\n" << service.Log();
}

TEST(ClientSession, ClientThatDisconnectsLeavesNoLogLine)
{
    ServiceUnderTest service(Users);
    {
        OperatorClient client(service.Port());
        ASSERT_FALSE(client.ReadGreeting().empty());
        client.Send(DeadCameraFrame.substr(0, 1)); // "Unknown Pelco camera ID 0"
        service.WaitHandled(client);
    }
    {
        OperatorClient client(service.Port());
        ASSERT_FALSE(client.ReadGreeting().empty());
        client.Reset();
    }
    OperatorClient later(service.Port());
    ASSERT_FALSE(later.ReadGreeting().empty());
    EXPECT_EQ(Occurrences(service.Log(), "\n"), 1u) << service.Log();
}

TEST(ClientSession, EachReceiveIsOneMessage)
{
    ServiceUnderTest service(Users);
    OperatorClient client(service.Port());
    ASSERT_FALSE(client.ReadGreeting().empty());

    // Two logins in one receive are one login whose password holds the rest.
    client.Send("LOGIN bob xLOGIN alice secret");
    EXPECT_EQ(client.Read(2), "OK");
    // A message longer than the buffer is handled in pieces; each piece that
    // is not a text command is a camera command.
    client.Send(std::string(1024, 'x') + "LOGIN alice secret");
    EXPECT_EQ(client.Read(2), "OK");
    EXPECT_TRUE(service.WaitForLog("Login from 127.0.0.1 by user alice with priority 5"));
    EXPECT_NE(service.Log().find("Unknown Pelco camera ID 120"), std::string::npos);
}

TEST(ClientSession, LaterConnectionWithTheSameNumberTakesOverItsNotifications)
{
    SimulatedTime time;
    ServiceUnderTest service(Users, DeadCamera, 1, "127.0.0.1", SessionPolicy(), time);
    OperatorClient earlier(service.Port());
    OperatorClient::Options sameSourcePort;
    sameSourcePort.localAddress = "127.0.0.3"; // another host, as far as the service can tell
    sameSourcePort.localPort = earlier.LocalPort();
    ASSERT_FALSE(earlier.ReadGreeting().empty());
    earlier.Send(DeadCameraFrame);
    EXPECT_EQ(earlier.Read(DeadCameraMessage.size()), DeadCameraMessage);

    OperatorClient later(service.Port(), sameSourcePort);
    EXPECT_EQ(later.ReadGreeting(), "SESSION " + std::to_string(earlier.LocalPort()));
    later.Send(DeadCameraFrame);
    EXPECT_EQ(later.Read(DeadCameraMessage.size()), DeadCameraMessage);

    // The camera reports a command from that number as written.
    service.OnLoop([&] { service.Control().CommandWritten(0, later.LocalPort(), 3); });
    EXPECT_EQ(later.Read(OperatorProtocol::YouHaveControl.size()),
              OperatorProtocol::YouHaveControl);
    earlier.Send("LOGIN bob");
    EXPECT_EQ(earlier.Read(2), "OK") << "the replaced session is told nothing";

    // The earlier connection ending must not take the later one's entry along.
    earlier.Reset();
    ASSERT_TRUE(WaitUntil([&] { return !ServiceSideOf(earlier); }));
    service.OnLoop([] {});
    time.Advance(1s);
    EXPECT_EQ(later.Read(OperatorProtocol::ControlLapsed.size()), OperatorProtocol::ControlLapsed);
    later.Send("LOGIN bob");
    EXPECT_EQ(later.Read(2), "OK");
    EXPECT_TRUE(service.WaitForLog("Login from 127.0.0.3 by user bob with priority 3"));
}

TEST(ClientSession, ReplyThatCannotBeWrittenEndsTheSessionWithALogLine)
{
    const struct
    {
        const char* login; // null: reset before the greeting
        const char* line;
    } cases[] = {
        {"LOGIN alice secret", "] Lost session with KorvelControl user alice at 127.0.0.1\n"},
        {"LOGIN nobody secret", "] Lost session with KorvelControl user  at 127.0.0.1\n"},
        {nullptr, "] Lost session with KorvelControl user  at 127.0.0.1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.login ? c.login : "reset before the greeting");
        ServiceUnderTest service(Users);
        if (!c.login)
            service.Pause();
        OperatorClient client(service.Port());
        if (c.login) {
            ASSERT_FALSE(client.ReadGreeting().empty());
            // The reset reaches the service before it reads the login.
            service.Pause();
            client.Send(c.login);
        }
        client.Reset();
        ASSERT_TRUE(WaitUntil([&] { return !ServiceSideOf(client); }));
        service.Resume();
        EXPECT_TRUE(service.WaitForLog(c.line)) << service.Log();

        OperatorClient next(service.Port());
        EXPECT_FALSE(next.ReadGreeting().empty()) << "the service carries on";
    }
}

TEST(ClientSession, ClientThatStopsReadingIsDroppedWithoutSlowingOthers)
{
    // Long names make long notifications, so the queue fills quickly.
    const std::string holderName(1000, 'h');
    SimulatedTime time; // the holds never lapse
    ServiceUnderTest service({{holderName, "", 9}, {"slow", "", 1}, {"fast", "", 1}}, DeadCamera, 1,
                             "127.0.0.1", SessionPolicy(), time);

    OperatorClient holder(service.Port());
    ASSERT_FALSE(holder.ReadGreeting().empty());
    holder.Send("LOGIN " + holderName);
    ASSERT_EQ(holder.Read(2), "OK");

    OperatorClient::Options smallWindow;
    smallWindow.receiveBufferBytes = 4096;
    OperatorClient slow(service.Port(), smallWindow);
    OperatorClient fast(service.Port());
    for (OperatorClient* client : {&slow, &fast}) {
        ASSERT_FALSE(client->ReadGreeting().empty());
        client->Send(client == &slow ? "LOGIN slow" : "LOGIN fast");
        ASSERT_EQ(client->Read(2), "OK");
        client->Send(DeadCameraFrame);
        ASSERT_EQ(client->Read(DeadCameraMessage.size()), DeadCameraMessage);
    }

    const std::string notification = OperatorProtocol::OtherHasControl(holderName);
    std::size_t fastReceived = 0;
    std::size_t announced = 0;
    const std::string lostLine = "Lost session with KorvelControl user slow at 127.0.0.1";
    while (service.Log().find(lostLine) == std::string::npos) {
        ASSERT_LT(announced, 100000u) << "the slow client's queue was never bounded";
        service.OnLoop([&] {
            for (int i = 0; i < 500; ++i)
                service.Control().CommandWritten(0, holder.LocalPort(), 9);
        });
        announced += 500;
        // The fast client keeps up; the slow one reads nothing.
        const std::string got = fast.Read(500 * notification.size());
        ASSERT_EQ(got.size(), 500 * notification.size());
        EXPECT_EQ(got.substr(0, notification.size()), notification);
        fastReceived += got.size() / notification.size();
    }
    EXPECT_EQ(fastReceived, announced);
    EXPECT_EQ(Occurrences(service.Log(), lostLine), 1u);
    EXPECT_TRUE(slow.WaitClosed(60s)) << "the dropped client's connection is closed";

    holder.Send("LOGIN " + holderName);
    EXPECT_EQ(holder.Read(2), "OK") << "others are still served";
}

// Notifications go straight to the socket while it takes them and wait in
// the queue, the rest of a partly written one first, once it does not.
TEST(ClientSession, NotificationsTheSocketHoldsBackArriveWholeAndInOrder)
{
    // An odd length, so that the socket's limits fall inside notifications.
    const std::string holderName(997, 'h');
    SimulatedTime time;
    ServiceUnderTest service({{holderName, "", 9}, {"late", "", 1}}, DeadCamera, 1, "127.0.0.1",
                             SessionPolicy(), time);
    OperatorClient holder(service.Port());
    ASSERT_FALSE(holder.ReadGreeting().empty());
    holder.Send("LOGIN " + holderName);
    ASSERT_EQ(holder.Read(2), "OK");

    OperatorClient::Options smallWindow;
    smallWindow.receiveBufferBytes = 4096;
    OperatorClient late(service.Port(), smallWindow);
    ASSERT_FALSE(late.ReadGreeting().empty());
    late.Send(DeadCameraFrame);
    ASSERT_EQ(late.Read(DeadCameraMessage.size()), DeadCameraMessage);

    // A small send buffer, so that the socket soon takes only part of a
    // notification, then nothing; the rest stays well below the queue's bound.
    const int serviceEnd = service.DescriptorOf(late);
    ASSERT_GE(serviceEnd, 0);
    const int sendBuffer = 4096;
    ASSERT_EQ(::setsockopt(serviceEnd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer), 0);
    const int count = 600;
    service.OnLoop([&] {
        for (int i = 0; i < count; ++i)
            service.Control().CommandWritten(0, holder.LocalPort(), 9);
    });
    time.Advance(1s);
    const std::string notification = OperatorProtocol::OtherHasControl(holderName);
    std::string expected;
    for (int i = 0; i < count; ++i)
        expected += notification;
    expected += OperatorProtocol::ControlLapsed;
    EXPECT_TRUE(late.Read(expected.size(), 30s) == expected);
    late.Send("LOGIN late");
    EXPECT_EQ(late.Read(2), "OK");
    EXPECT_EQ(service.Log().find("Lost session"), std::string::npos) << service.Log();
}

TEST(ClientSession, ClientVanishingMidWriteLeavesTheOthersServed)
{
    SimulatedTime time;
    ServiceUnderTest service({{"watcher", "", 1}, {"vanisher", "", 1}}, DeadCamera, 1, "127.0.0.1",
                             SessionPolicy(), time);
    OperatorClient watcher(service.Port());
    OperatorClient vanisher(service.Port());
    for (OperatorClient* client : {&watcher, &vanisher}) {
        ASSERT_FALSE(client->ReadGreeting().empty());
        client->Send(DeadCameraFrame);
        ASSERT_EQ(client->Read(DeadCameraMessage.size()), DeadCameraMessage);
    }

    // Notifications go to a connection the client has already reset, before
    // the service has seen the reset.
    service.OnLoop([&] {
        vanisher.Reset();
        ASSERT_TRUE(WaitUntil([&] { return !ServiceSideOf(vanisher); }));
        for (int i = 0; i < 200; ++i)
            service.Control().CommandWritten(0, 1, 1);
    });

    const std::string notification = OperatorProtocol::OtherHasControl("");
    EXPECT_EQ(watcher.Read(200 * notification.size()).size(), 200 * notification.size());
    EXPECT_TRUE(service.WaitForLog("] Error sending data to client at 127.0.0.1: "))
        << service.Log();
    EXPECT_EQ(Occurrences(service.Log(), "Error sending data"), 1u) << service.Log();
    time.Advance(1s);
    EXPECT_EQ(watcher.Read(OperatorProtocol::ControlLapsed.size()),
              OperatorProtocol::ControlLapsed);
    EXPECT_EQ(service.Log().find("Lost session"), std::string::npos) << service.Log();

    OperatorClient next(service.Port());
    EXPECT_FALSE(next.ReadGreeting().empty());
}

// The pause after a failed accept runs on simulated time: the test sees the
// service come to wait for it, and moves the time on, rather than watching
// for a while that nothing happens.
TEST(ClientServer, WaitsInsteadOfSpinningWhileOutOfDescriptors)
{
    SimulatedTime time;
    ServiceUnderTest service(Users, "", 1, "127.0.0.1", SessionPolicy(), time);
    const auto pausing = [&] { return time.AwaitAlarm(time.Now() + 100ms); };
    clockid_t loopClock{};
    service.OnLoop([&] { ::pthread_getcpuclockid(::pthread_self(), &loopClock); });
    const auto loopCpu = [&] {
        timespec now{};
        ::clock_gettime(loopClock, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };

    // The undefined-behaviour sanitizer checks each dynamic type once, with a
    // pipe: the time source's and its alarm's are checked here, while there
    // are descriptors for it, as the service's pause uses them.
    {
        TimeSource& source = time;
        auto alarm = source.SetAlarm(source.Now(), [] {});
        EXPECT_EQ(alarm->RealWait(), TimeSource::Duration::zero());
        EXPECT_TRUE(time.AwaitAlarm(time.Now(), 0ms));
    }

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    ::close(fillers.back()); // room for the client's socket, none for the service's
    fillers.pop_back();

    std::unique_ptr<OperatorClient> client;
    int pauses = 0;
    bool pausedStill = false;
    std::string greetingWhileShort;
    std::chrono::nanoseconds cpuWhileShort{};
    try {
        client = std::make_unique<OperatorClient>(service.Port());
        const auto before = loopCpu();
        for (; pauses < 10 && pausing(); ++pauses)
            time.Advance(100ms);
        pausedStill = pausing();
        cpuWhileShort = loopCpu() - before;
        greetingWhileShort = client->Read(1, 0ms);
    } catch (...) {
    }
    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    ASSERT_TRUE(client);
    EXPECT_EQ(pauses, 10) << "each failed accept waits for the pause";
    ASSERT_TRUE(pausedStill);
    EXPECT_EQ(greetingWhileShort, "");
    EXPECT_LT(cpuWhileShort, std::chrono::milliseconds(300))
        << "the loop spun while accepting failed";
    time.Advance(100ms);
    EXPECT_EQ(client->ReadGreeting(), "SESSION " + std::to_string(client->LocalPort()))
        << "accepting resumes once descriptors are free";
}

// Every port of the service opens the same way, and says why it could not
// in the socket's own words.
TEST(ClientServer, ListensOnNumericAddressesOnly)
{
    const struct
    {
        const char* address;
        std::uint32_t port;
        const char* failure; // empty: listens
    } cases[] = {
        {"127.0.0.1", 0, ""},
        {"localhost", 0, "Invalid argument"},
        {"127.0.0.", 0, "Invalid argument"},
        {"", 0, "Invalid argument"},
        {"127.0.0.1", 70000, "Invalid argument"},
    };
    boost::asio::io_context io;
    CameraTable cameras;
    UserTable users;
    ConnectionTable connections;
    ControlService control(io, RealTime(), cameras, connections);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        ClientServer server(io, RealTime(), connections, control, users);
        EXPECT_EQ(server.Listen(c.address, c.port), c.failure);
        if (*c.failure == '\0') {
            EXPECT_NE(server.LocalEndpoint().port(), 0);
            // A second listener on the same port fails like any other bind.
            ClientServer second(io, RealTime(), connections, control, users);
            EXPECT_EQ(second.Listen(c.address, server.LocalEndpoint().port()),
                      "bind: Address already in use");
            // A move that fails keeps the listener it had.
            EXPECT_EQ(server.Listen("localhost", 0), "Invalid argument");
            EXPECT_NE(server.LocalEndpoint().port(), 0);
        }
        server.Close();
    }
    io.run();
}

TEST(ClientSession, DualStackListenerLogsIPv4ClientsInDottedForm)
{
    std::unique_ptr<ServiceUnderTest> service;
    try {
        service = std::make_unique<ServiceUnderTest>(Users, "", 1, "::");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "no IPv6 on this host";
    }
    OperatorClient client(service->Port());
    EXPECT_EQ(client.ReadGreeting(), "SESSION " + std::to_string(client.LocalPort()));
    client.Send("LOGIN bob");
    EXPECT_EQ(client.Read(2), "OK");
    EXPECT_TRUE(service->WaitForLog("] Login from 127.0.0.1 by user bob with priority 3\n"))
        << service->Log();
}

// The stop closes the port, the sessions and the hold timer, and the loop
// then runs out of work by itself: nothing is left queued for objects that
// go after it.
TEST(ClientServer, StopClosesEverythingAndTheLoopRunsOut)
{
    boost::asio::io_context io;
    CameraSettings dead;
    dead.address = "dead-camera";
    dead.port = "/nonexistent/tty";
    CameraTable cameras;
    cameras.emplace(dead.address, std::make_unique<TrackCamera>(io, RealTime(), dead, 1, 60));
    UserTable users;
    ConnectionTable connections;
    ControlService control(io, RealTime(), cameras, connections);
    ClientServer server(io, RealTime(), connections, control, users);
    ASSERT_EQ(server.Listen("127.0.0.1", 0), "");
    OperatorClient reading(server.LocalEndpoint().port());
    OperatorClient writing(server.LocalEndpoint().port());
    std::string greetings;
    while (greetings.size() < 2) {
        io.poll();
        greetings = reading.Read(1, 10ms) + writing.Read(1, 10ms);
    }
    // A hold that lasts a minute: its expiry is pending on the loop.
    control.CommandWritten(0, reading.LocalPort(), 1);
    writing.Send("LOGIN bob");

    boost::asio::post(io, [&] {
        server.Close();
        control.Close();
        cameras.begin()->second->Stop();
    });
    io.restart();
    io.run_for(20s);
    EXPECT_TRUE(io.stopped()) << "the loop ran out of work";
    EXPECT_TRUE(reading.WaitClosed());
    EXPECT_TRUE(writing.WaitClosed());
    EXPECT_EQ(connections.Count(), 0u);
}

} // namespace korvel::session_test
