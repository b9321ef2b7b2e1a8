// Connection exhaustion through real sockets: clients that open connections
// and hold them cannot keep anyone else from the status server or from the
// operator port, and a vanished workstation is found out by TCP keepalive.
#include "Peers.h"
#include "ServiceUnderTest.h"
#include "ops/StatusServer.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace korvel::connection_limits_test {

namespace {

const std::vector<UserAccount> Users = {{"guard", "pw", 2}, {"chief", "", 9}};

// The status server in this process, on a loop thread of its own.
class StatusServerUnderTest
{
public:
    StatusServerUnderTest()
    {
        StatusServer::Content content;
        content.status = [] { return std::string("{}\n"); };
        server = std::make_unique<StatusServer>(io, "127.0.0.1", 0, "", std::move(content));
        port = server->LocalEndpoint().port();
        loop = std::thread([this] { io.run(); });
    }
    ~StatusServerUnderTest()
    {
        boost::asio::post(io, [this] {
            server.reset();
            io.stop();
        });
        loop.join();
    }

    std::uint16_t port = 0;

private:
    boost::asio::io_context io;
    std::unique_ptr<StatusServer> server;
    std::thread loop;
};

std::unique_ptr<OperatorClient> ConnectFrom(const std::string& address, std::uint16_t port)
{
    OperatorClient::Options options;
    options.localAddress = address;
    return std::make_unique<OperatorClient>(port, options);
}

// A whole answer to GET /status on a fresh connection from the address.
std::string GetStatus(const std::string& address, std::uint16_t port)
{
    auto client = ConnectFrom(address, port);
    client->Send("GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    return client->Read(65536);
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The service's end of the client's connection, among this process's
// descriptors (the service under test runs in the test process).
int ServiceDescriptorOf(const OperatorClient& client)
{
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (fd != client.Fd() &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == client.LocalPort())
            return fd;
    }
    return -1;
}

int IntOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

void ExpectOnlyFirstClosed(std::vector<std::unique_ptr<OperatorClient>>& idle)
{
    EXPECT_TRUE(idle.front()->WaitClosed(10s)) << "the connection idle longest made room";
    for (std::size_t i = 1; i < idle.size(); ++i)
        EXPECT_FALSE(idle[i]->WaitClosed(0ms)) << "connection " << i << " kept its place";
}

} // namespace

TEST(ConnectionLimits, NoPeerHoldingConnectionsLocksOthersOut)
{
    const struct
    {
        const char* what;
        std::function<void()> check;
    } cases[] = {
        {"sixteen idle status connections from four addresses; /status from a fifth is answered",
         [] {
             StatusServerUnderTest status;
             std::vector<std::unique_ptr<OperatorClient>> idle;
             for (int i = 0; i < 16; ++i)
                 idle.push_back(ConnectFrom("127.0.0." + std::to_string(3 + i / 4), status.port));
             EXPECT_EQ(GetStatus("127.0.0.7", status.port).substr(0, 15), "HTTP/1.1 200 OK");
             ExpectOnlyFirstClosed(idle);
         }},
        {"five status connections from one address: the fifth takes the first one's place",
         [] {
             StatusServerUnderTest status;
             std::vector<std::unique_ptr<OperatorClient>> idle;
             for (int i = 0; i < 4; ++i)
                 idle.push_back(ConnectFrom("127.0.0.3", status.port));
             EXPECT_EQ(GetStatus("127.0.0.3", status.port).substr(0, 15), "HTTP/1.1 200 OK");
             ExpectOnlyFirstClosed(idle);
         }},
        {"with RequireLogin, connections that never log in give their places back",
         [] {
             SessionPolicy policy;
             policy.requireLogin = true;
             policy.maxSessions = 10;
             policy.loginTimeout = 2s;
             ServiceUnderTest service(Users, "", 1, "127.0.0.1", policy);
             auto guard = ConnectFrom("127.0.0.1", service.Port());
             guard->ReadGreeting();
             guard->Send("LOGIN guard pw");
             ASSERT_EQ(guard->Read(2), "OK");
             const auto start = std::chrono::steady_clock::now();
             std::vector<std::unique_ptr<OperatorClient>> silent;
             for (int i = 0; i < 9; ++i) {
                 silent.push_back(ConnectFrom("127.0.0.1", service.Port()));
                 EXPECT_NE(silent.back()->ReadGreeting(), "");
             }
             {
                 OperatorClient locked(service.Port());
                 EXPECT_EQ(locked.Read(1, 1s), "") << "every place taken";
             }
             for (auto& client : silent)
                 EXPECT_TRUE(client->WaitClosed(20s));
             EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms) << "not before 2 s";
             EXPECT_EQ(Count(service.Log(), "] Lost session with KorvelControl user  at "
                                            "127.0.0.1\n"),
                       9u)
                 << service.Log();

             auto chief = ConnectFrom("127.0.0.1", service.Port());
             EXPECT_NE(chief->ReadGreeting(), "");
             chief->Send("LOGIN chief");
             EXPECT_EQ(chief->Read(2), "OK") << "a place for the supervisor";
             guard->Send("LOGIN guard pw");
             EXPECT_EQ(guard->Read(2), "OK") << "the session that logged in stays";
         }},
        {"operator connections probe a silent peer after 60 s, every 10 s, 6 times, and give "
         "up on unacknowledged data after as long",
         [] {
             ServiceUnderTest service(Users);
             auto client = ConnectFrom("127.0.0.1", service.Port());
             client->ReadGreeting();
             const int fd = ServiceDescriptorOf(*client);
             ASSERT_GE(fd, 0);
             EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
             EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
             EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
             EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 6);
             EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 120000);
             EXPECT_EQ(service.Log().find("keepalive"), std::string::npos) << service.Log();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.check();
    }
}

} // namespace korvel::connection_limits_test
