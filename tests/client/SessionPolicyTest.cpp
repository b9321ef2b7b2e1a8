// The session policy through real sockets: commands ignored until a login
// when logins are required, connections closed at once beyond the cap,
// failed logins from one address answered ever more slowly, and clients
// that hold connections unable to lock anyone out (of the operator port or
// of the status server).
#include "ServiceUnderTest.h"
#include "ops/StatusServer.h"
#include "support/ConsoleTexts.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/PseudoTerminal.h"
#include "support/SimulatedTime.h"
#include "support/TempDir.h"

#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace korvel::session_policy_test {

namespace {

const std::vector<UserAccount> Users = {{"guard", "pw", 2}, {"chief", "", 9}};

// The status server in this process, on a loop thread of its own.
struct StatusServerUnderTest
{
    StatusServerUnderTest()
        : server(io, RealTime(), "127.0.0.1", 0, "", {[] { return std::string("{}"); }, nullptr}),
          loop([this] { io.run(); })
    {}
    ~StatusServerUnderTest()
    {
        boost::asio::post(io, [this] { server.Close(); });
        loop.join();
    }
    std::uint16_t Port() const { return server.LocalEndpoint().port(); }

    boost::asio::io_context io;
    StatusServer server;
    std::thread loop;
};

// Connections from the address that send nothing, then GET /status from it.
std::string IdleThenStatus(std::vector<std::unique_ptr<OperatorClient>>& idle, std::uint16_t port,
                           std::size_t count, const std::string& from)
{
    for (std::size_t i = 0; i < count; ++i)
        idle.push_back(std::make_unique<OperatorClient>(
            port, OperatorClient::Options{"127.0.0." + std::to_string(3 + i / 4)}));
    OperatorClient client(port, OperatorClient::Options{from});
    client.Send("GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    return client.Read(1000).substr(0, 15);
}

int TcpOption(int fd, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(fd, name == SO_KEEPALIVE ? SOL_SOCKET : IPPROTO_TCP, name, &value, &length);
    return value;
}

OperatorCounters Counters(ServiceUnderTest& service)
{
    StatusSnapshot status;
    service.OnLoop(
        [&] { service.Operations().FillStatus(status, std::chrono::steady_clock::now()); });
    return status.counters;
}

std::uint64_t ThrottledLogins(ServiceUnderTest& service)
{
    return Counters(service).loginsThrottled;
}

} // namespace

TEST(SessionPolicy, RequireLoginIgnoresCommandsUntilALoginPasses)
{
    const struct
    {
        const char* name;
        bool requireLogin;
        const char* login; // sent before the commands; null for none
        const char* reply;
        bool steers; // CHOOSE and the camera command take effect
    } cases[] = {
        {"not required, no login", false, nullptr, "", true},
        {"required, no login", true, nullptr, "", false},
        {"required, failed login", true, "LOGIN guard wrong", "FAILURE", false},
        {"required, login", true, "LOGIN guard pw", "OK", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PseudoTerminal line;
        SessionPolicy policy;
        policy.requireLogin = c.requireLogin;
        ServiceUnderTest service(
            Users, "<Camera Address=\"gate\" Port=\"" + line.SlavePath() + "\" PelcoNumber=\"4\"/>",
            60, "127.0.0.1", policy);
        auto client = Greeted(service.Port());
        auto chief = Greeted(service.Port());
        chief->Send("LOGIN chief");
        EXPECT_EQ(chief->Read(2), "OK");
        const std::string ignoredLine = "] Ignoring commands from session " +
                                        std::to_string(client->LocalPort()) +
                                        " at 127.0.0.1 until it logs in\n";
        if (c.login) {
            client->Send(c.login);
            EXPECT_EQ(client->Read(std::string(c.reply).size()), c.reply);
        }

        // Choose mode: the slot goes to the chief only if this CHOOSE was ignored.
        client->Send("CHOOSE");
        service.WaitHandled(*client);
        chief->Send("CHOOSE");
        service.WaitHandled(*chief);
        service.OnLoop([&] { service.Control().SoftTriggerFired("gate"); });
        auto& chosen = c.steers ? *client : *chief;
        const std::string handedOver = "0CAMERA\tgate\t4";
        EXPECT_EQ(chosen.Read(handedOver.size()), handedOver);
        client->Send("CANCEL");
        service.WaitHandled(*client);

        client->Send(PelcoFrame(4, Pelco::PanLeft, 0x11));
        if (c.steers) {
            const std::string steering = "#0000F0 You have control";
            EXPECT_EQ(client->Read(steering.size()), steering);
            EXPECT_EQ(line.Read(7), PelcoFrame(4, Pelco::PanLeft, 0x11));
        } else {
            service.WaitHandled(*client);
            // Logging in now lets the next command through; the first never went.
            client->Send("LOGIN chief");
            EXPECT_EQ(client->Read(2), "OK") << "nothing came before the answer";
            client->Send(PelcoFrame(4, Pelco::PanLeft, 0x22));
            const std::string steering = "1CAMERA\tgate\t4#0000F0 You have control";
            EXPECT_EQ(client->Read(steering.size()), steering);
            EXPECT_EQ(line.Read(7), PelcoFrame(4, Pelco::PanLeft, 0x22));
        }
        const std::string log = service.Log();
        EXPECT_EQ(Occurrences(log, ignoredLine), c.steers ? 0u : 1u) << log;
        EXPECT_EQ(Occurrences(log, "Ignoring commands"), c.steers ? 0u : 1u) << log;
    }
}

TEST(SessionPolicy, ConnectionsBeyondMaxSessionsAreClosedAtOnce)
{
    SessionPolicy policy;
    policy.maxSessions = 3;
    ServiceUnderTest service(Users, "", 1, "127.0.0.1", policy);
    const char* const refusedLine = "] Too many KorvelControl sessions (3): closing new "
                                    "connections at once, the first from 127.0.0.1\n";
    const auto expectRefused = [&](OperatorClient& client) {
        EXPECT_EQ(client.Read(1), "") << "no greeting";
        EXPECT_TRUE(client.WaitClosed(1s));
    };

    // Every place a logged-in session's: none gives way.
    std::vector<std::unique_ptr<OperatorClient>> sessions;
    for (int i = 0; i < 3; ++i)
        sessions.push_back(LogIn(service.Port(), "chief", ""));
    for (int i = 0; i < 4; ++i) {
        OperatorClient refused(service.Port());
        expectRefused(refused);
    }
    EXPECT_EQ(Occurrences(service.Log(), refusedLine), 1u) << service.Log();
    EXPECT_EQ(Counters(service).sessionsRefused, 4u);

    // A session that ends makes room, and ends the episode with its count.
    sessions.front()->Reset();
    ASSERT_TRUE(service.WaitForLog(
        "] Accepting KorvelControl connections again; 4 closed while there were too many "
        "sessions\n"))
        << service.Log();
    sessions.front() = Greeted(service.Port());
    sessions.front()->Send("LOGIN chief");
    EXPECT_EQ(sessions.front()->Read(2), "OK");

    // Full again: a new episode, logged once more.
    OperatorClient refused(service.Port());
    expectRefused(refused);
    EXPECT_EQ(Occurrences(service.Log(), refusedLine), 2u) << service.Log();
    EXPECT_EQ(Counters(service).sessionsRefused, 5u) << "counted across episodes";
    for (auto& session : sessions) {
        session->Send("LOGIN guard pw");
        EXPECT_EQ(session->Read(2), "OK") << "the sessions within the cap carry on";
    }
}

// On simulated time: a held-back FAILURE cannot go before the test moves the
// time past it, so "not yet" is seen at once, without waiting.
TEST(SessionPolicy, FailedLoginsBeyondFiveAMinuteAreAnsweredOneAtATime)
{
    const std::string failedLine = "] Failed login from 127.0.0.5 by user guard\n";
    for (const bool throttled : {true, false}) {
        SCOPED_TRACE(throttled ? "LoginThrottle on" : "LoginThrottle=\"0\"");
        SimulatedTime time;
        SessionPolicy policy;
        policy.throttleLogins = throttled;
        ServiceUnderTest service(Users, "", 1, "127.0.0.1", policy, time);
        const auto sixth = time.Now();
        auto guesser = Greeted(service.Port(), {"127.0.0.5"});
        auto second = Greeted(service.Port(), {"127.0.0.5"});
        for (int i = 0; i < 5; ++i) {
            guesser->Send("LOGIN guard wrong");
            EXPECT_EQ(guesser->Read(7), "FAILURE");
        }
        EXPECT_EQ(ThrottledLogins(service), 0u) << "five mistakes change nothing";

        // The sixth, then one from the address's other connection, then the
        // right password on the first: the first connection's later message
        // is answered only after its FAILURE.
        guesser->Send("LOGIN guard wrong");
        service.WaitHandled(*guesser);
        second->Send("LOGIN guard wrong");
        service.WaitHandled(*second);
        guesser->Send("LOGIN guard pw");
        service.WaitHandled(*guesser);

        auto other = Greeted(service.Port(), {"127.0.0.6"});
        other->Send("LOGIN chief");
        EXPECT_EQ(other->Read(2), "OK") << "another address logs in meanwhile";
        if (throttled) {
            EXPECT_EQ(guesser->Read(1, 0ms), "") << "the sixth FAILURE is held back";
            EXPECT_EQ(Occurrences(service.Log(), failedLine), 5u) << "logged when answered";
            ASSERT_TRUE(time.AwaitAlarm(sixth + 1s));
            time.Advance(1s);
        }
        EXPECT_EQ(guesser->Read(9), "FAILUREOK") << "the replies keep their order";
        if (throttled) {
            EXPECT_EQ(second->Read(1, 0ms), "") << "one at a time, the next 2 s later";
            ASSERT_TRUE(time.AwaitAlarm(sixth + 3s));
            time.Advance(2s);
        }
        EXPECT_EQ(second->Read(7), "FAILURE");
        EXPECT_EQ(Occurrences(service.Log(), failedLine), 7u) << service.Log();
        EXPECT_EQ(ThrottledLogins(service), throttled ? 2u : 0u);

        // The login that passed started the address afresh.
        for (int i = 0; i < 5; ++i) {
            second->Send("LOGIN guard wrong");
            EXPECT_EQ(second->Read(7), "FAILURE");
        }
        EXPECT_EQ(ThrottledLogins(service), throttled ? 2u : 0u);

        // A client that leaves while its FAILURE is held back is let go at
        // once, unanswered; the attempt it made is never logged.
        auto leaver = Greeted(service.Port(), {"127.0.0.5"});
        leaver->Send("LOGIN guard wrong");
        service.WaitHandled(*leaver);
        ::shutdown(leaver->Fd(), SHUT_WR);
        EXPECT_EQ(leaver->Read(7), throttled ? "" : "FAILURE");
        EXPECT_TRUE(leaver->WaitClosed());
        EXPECT_EQ(Occurrences(service.Log(), failedLine), throttled ? 12u : 13u);
    }
}

TEST(SessionPolicy, NoPeerHoldingConnectionsLocksOthersOut)
{
    const struct
    {
        const char* what;
        std::function<void()> check;
    } cases[] = {
        {"sixteen idle status connections from four addresses; /status from a fifth is answered, "
         "the connection idle longest gives way",
         [] {
             StatusServerUnderTest status;
             std::vector<std::unique_ptr<OperatorClient>> idle;
             EXPECT_EQ(IdleThenStatus(idle, status.Port(), 16, "127.0.0.7"), "HTTP/1.1 200 OK");
             EXPECT_TRUE(idle[0]->WaitClosed());
             for (std::size_t i = 1; i < idle.size(); ++i)
                 EXPECT_FALSE(idle[i]->WaitClosed(0ms)) << i << " keeps its place";
         }},
        {"a fifth status connection from one address takes its first one's place",
         [] {
             StatusServerUnderTest status;
             std::vector<std::unique_ptr<OperatorClient>> idle;
             EXPECT_EQ(IdleThenStatus(idle, status.Port(), 4, "127.0.0.3"), "HTTP/1.1 200 OK");
             EXPECT_TRUE(idle[0]->WaitClosed());
             for (std::size_t i = 1; i < idle.size(); ++i)
                 EXPECT_FALSE(idle[i]->WaitClosed(0ms)) << i << " keeps its place";
         }},
        {"a flood of connections that do not log in gives way to a workstation, with "
         "RequireLogin or without; with it, the flood's places come back at the deadline",
         [] {
             for (const bool requireLogin : {false, true}) {
                 SCOPED_TRACE(requireLogin ? "RequireLogin" : "without RequireLogin");
                 SimulatedTime time;
                 SessionPolicy policy;
                 policy.requireLogin = requireLogin;
                 policy.maxSessions = 10;
                 policy.loginTimeout = 2s;
                 ServiceUnderTest service(Users, "", 1, "127.0.0.1", policy, time);
                 auto guard = Greeted(service.Port());
                 guard->Send("LOGIN guard pw");
                 ASSERT_EQ(guard->Read(2), "OK");
                 // A silent connection of the workstations' address, then
                 // twelve from one address: the flood's first four give way
                 // to its last four, never the other address's.
                 auto quiet = Greeted(service.Port());
                 std::vector<std::unique_ptr<OperatorClient>> flood;
                 for (int i = 0; i < 12; ++i)
                     flood.push_back(Greeted(service.Port(), {"127.0.0.3"}));
                 for (int i = 0; i < 4; ++i)
                     EXPECT_TRUE(flood[i]->WaitClosed()) << i << " gave way";
                 auto chief = Greeted(service.Port());
                 chief->Send("LOGIN chief");
                 EXPECT_EQ(chief->Read(2), "OK") << "a place for the supervisor";
                 EXPECT_TRUE(flood[4]->WaitClosed()) << "the flood's idlest gave way";
                 guard->Send("LOGIN guard pw");
                 EXPECT_EQ(guard->Read(2), "OK") << "the session that logged in stays";
                 EXPECT_EQ(Counters(service).sessionsEvicted, 5u);
                 EXPECT_EQ(Occurrences(service.Log(), "] Too many KorvelControl sessions (10): "
                                                      "closing new connections at once, the "
                                                      "first from 127.0.0.3\n"),
                           1u)
                     << service.Log();
                 EXPECT_EQ(Occurrences(service.Log(), "Lost session"), 0u) << service.Log();
                 if (!requireLogin)
                     continue;
                 ASSERT_TRUE(time.AwaitAlarm(time.Now() + 2s));
                 time.Advance(2s);
                 for (std::size_t i = 5; i < flood.size(); ++i)
                     EXPECT_TRUE(flood[i]->WaitClosed(20s));
                 EXPECT_TRUE(quiet->WaitClosed(20s));
                 EXPECT_EQ(Occurrences(service.Log(), "] Lost session with KorvelControl user  "
                                                      "at 127.0.0.3\n"),
                           7u)
                     << service.Log();
                 guard->Send("LOGIN guard pw");
                 EXPECT_EQ(guard->Read(2), "OK");
             }
         }},
        {"operator connections probe a silent peer after 60 s, every 10 s, 6 times, and give up "
         "on unacknowledged data after as long",
         [] {
             ServiceUnderTest service(Users);
             auto client = Greeted(service.Port());
             const int fd = service.DescriptorOf(*client);
             EXPECT_EQ(TcpOption(fd, SO_KEEPALIVE), 1);
             EXPECT_EQ(TcpOption(fd, TCP_KEEPIDLE), 60);
             EXPECT_EQ(TcpOption(fd, TCP_KEEPINTVL), 10);
             EXPECT_EQ(TcpOption(fd, TCP_KEEPCNT), 6);
             EXPECT_EQ(TcpOption(fd, TCP_USER_TIMEOUT), 120000);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.check();
    }
}

} // namespace korvel::session_policy_test
