// The operations view of the running service: two operators, a takeover, a
// refusal, a soft-trigger handover and a lapse, with an NVR from nvrsim and a
// camera from camsim; then what /status, /metrics, the page (in a headless
// browser) and the audit file say of it, and how the status server treats
// bad and excess requests.
#include "support/StatusRequests.h"
#include "support/Camsim.h"
#include "support/NvrSimulator.h"
#include "support/OperatorClient.h"
#include "support/ServiceProcess.h"
#include "support/UnusedPort.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <sstream>

namespace korvel::operations_service_test {

namespace {

std::vector<std::string> AuditLines(const ServiceProcess& service, const std::string& event)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(service.Directory() + "audit.log"));
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"event\":\"" + event + "\"") != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(OperationsView, ShowsAndRecordsAScriptedSituation)
{
    auto camera = Camsim::Tcp(0, "127.0.0.20");
    NvrSimulator nvr("127.0.0.1:0", {"user op secret", "camera 5 127.0.0.20 Front"});
    ServiceSetup setup;
    setup.lockTimeSecs = 10;
    setup.users = {R"(<User Name="watch" Password="pw" Priority="5" />)",
                   R"(<User Name="boss" Password="pw" Priority="10" />)"};
    setup.nvr = R"(Address="127.0.0.1" Port=")" + std::to_string(nvr.Port()) +
                R"(" Login="op" Password="secret")";
    setup.cameras = {R"(<Camera Address="127.0.0.20" Port=")" + std::to_string(camera->Port()) +
                     R"(" PelcoNumber="3" />)"};
    setup.options = std::string("StatusAddress=\"") + StatusHost + "\" StatusPort=\"" +
                    std::to_string(UnusedPort()) + "\"";
    setup.control = R"(AuditFile="audit.log")";
    ServiceProcess service(setup);
    const std::uint16_t port = StatusPortOf(service);
    ASSERT_NE(port, 0);
    // Logged in, with the camera's name and our soft trigger on the NVR.
    ASSERT_TRUE(WaitUntil([&] {
        return Body(Get(port, "/status"))
                   .find(R"("state":"logged-in","cameras":1,"soft_triggers":1)") !=
               std::string::npos;
    })) << Body(Get(port, "/status"));

    auto watch = LogIn(service.Port(), "watch", "pw");
    auto boss = LogIn(service.Port(), "boss", "pw");
    ASSERT_TRUE(SendMessage(*watch, NumberedFrame(3, 1)));
    ASSERT_TRUE(camera->WaitForNumber(1));
    ASSERT_TRUE(SendMessage(*boss, NumberedFrame(3, 2)));
    ASSERT_TRUE(camera->WaitForNumber(2));
    for (unsigned number = 3; number <= 5; ++number) // refused: boss holds, with more priority
        ASSERT_TRUE(SendMessage(*watch, NumberedFrame(3, number)));
    ASSERT_TRUE(SendMessage(*watch, "CHOOSE"));
    nvr.Command("fire KORVEL_5");
    ASSERT_TRUE(WaitUntil(
        [&] { return Drain(*watch).find("0CAMERA\t127.0.0.20\t3\tFront") != std::string::npos; }));

    const std::string status = Body(Get(port, "/status"));
    const std::string watchSession = std::to_string(watch->LocalPort());
    const std::string bossSession = std::to_string(boss->LocalPort());
    for (
        const std::string& expected :
        {std::string(R"("version":")"), std::string(R"("started":"20)"),
         std::string(R"({"pelco":3,"address":"127.0.0.20","port":)") +
             std::to_string(camera->Port()) +
             R"(,"transport":"tcp","link":"connected","nvr_camera_id":5,"nvr_camera_name":"Front","holder":{"session":)" +
             bossSession + R"(,"user":"boss","priority":10,"hold_left_ms":)",
         R"({"session":)" + watchSession +
             R"(,"client":"127.0.0.1","user":"watch","priority":5,"camera":3,"choosing":false})",
         R"({"session":)" + bossSession +
             R"(,"client":"127.0.0.1","user":"boss","priority":10,"camera":3,"choosing":false})",
         std::string(
             R"("nvrs":[{"address":"127.0.0.1","state":"logged-in","cameras":1,"soft_triggers":1}])")})
        EXPECT_NE(status.find(expected), std::string::npos) << expected << "\nin\n" << status;
    EXPECT_EQ(status.find("secret"), std::string::npos) << "no password: " << status;

    const std::string metrics = Body(Get(port, "/metrics"));
    for (const char* expected :
         {"tlkorvel_sessions_open 2\n", "tlkorvel_sessions_accepted_total 2\n",
          "tlkorvel_logins_total{result=\"ok\"} 2\n",
          "tlkorvel_commands_total{camera=\"3\",outcome=\"forwarded\"} 2\n",
          "tlkorvel_commands_total{camera=\"3\",outcome=\"refused\"} 3\n",
          "tlkorvel_camera_link_up{camera=\"3\"} 1\n",
          "tlkorvel_nvr_logged_in{nvr=\"127.0.0.1\"} 1\n",
          "tlkorvel_soft_trigger_handovers_total{nvr=\"127.0.0.1\"} 1\n",
          "tlkorvel_nvr_logins_total{nvr=\"127.0.0.1\",result=\"ok\"} 1\n", "process_open_fds "})
        EXPECT_NE(metrics.find(expected), std::string::npos) << expected << "\nin\n" << metrics;
    if (!ProgramPath("promtool").empty()) {
        TempDir dir;
        WriteFile(dir.File("metrics.txt"), metrics);
        const RunResult lint =
            RunToEnd("/bin/sh", {"-c", "promtool check metrics < " + dir.File("metrics.txt")});
        EXPECT_EQ(lint.exitStatus, 0) << lint.out << lint.err;
    } else {
        ADD_FAILURE() << "promtool is missing (make test installs the prometheus package)";
    }

    // The page, as a browser renders it, names the holder in the cameras table.
    unsigned renewals = 0;
    if (const std::string chromium = ProgramPath("chromium"); !chromium.empty()) {
        const std::string url =
            std::string("http://") + StatusHost + ":" + std::to_string(port) + "/";
        TempDir profile; // whatever HOME is, or is not
        std::string dom;
        EXPECT_TRUE(WaitUntil(
            [&] {
                // Boss keeps his hold while the browser renders, however
                // long a loaded machine makes that.
                const unsigned renewal = 6 + renewals++;
                EXPECT_TRUE(SendMessage(*boss, NumberedFrame(3, renewal)));
                EXPECT_TRUE(camera->WaitForNumber(renewal));
                dom = RunToEnd(chromium,
                               {"--headless", "--no-sandbox", "--disable-gpu",
                                "--user-data-dir=" + profile.Path(), "--virtual-time-budget=3000",
                                "--dump-dom", url},
                               {}, std::chrono::seconds(60))
                          .out;
                return dom.find("<td>Front</td><td>boss</td><td>10</td>") != std::string::npos;
            },
            std::chrono::seconds(60)))
            << dom;
    } else {
        ADD_FAILURE() << "chromium is missing (make test installs it)";
    }

    // The hold lapses; then watch leaves.
    ASSERT_TRUE(WaitUntil([&] { return !AuditLines(service, "release").empty(); },
                          std::chrono::seconds(30)));
    EXPECT_NE(Body(Get(port, "/status")).find(R"("nvr_camera_name":"Front","holder":null)"),
              std::string::npos);
    watch.reset();
    ASSERT_TRUE(WaitUntil([&] { return !AuditLines(service, "session-end").empty(); }));

    const auto control = AuditLines(service, "control");
    ASSERT_EQ(control.size(), 2u) << ReadFile(service.Directory() + "audit.log");
    EXPECT_NE(control[0].find(R"("event":"control","camera":3,"session":)" + watchSession +
                              R"(,"user":"watch","priority":5})"),
              std::string::npos)
        << control[0];
    EXPECT_NE(control[1].find(R"("event":"control","camera":3,"session":)" + bossSession +
                              R"(,"user":"boss","priority":10,"previous_session":)" + watchSession +
                              R"(,"previous_user":"watch","previous_priority":5})"),
              std::string::npos)
        << "the takeover names whom it took the camera from: " << control[1];
    const auto refused = AuditLines(service, "refused");
    ASSERT_EQ(refused.size(), 1u) << "one line for three refused frames";
    EXPECT_NE(refused[0].find(R"("holder_session":)" + bossSession +
                              R"(,"holder_user":"boss","holder_priority":10})"),
              std::string::npos)
        << refused[0];
    const auto release = AuditLines(service, "release");
    ASSERT_EQ(release.size(), 1u);
    EXPECT_NE(release[0].find(R"("event":"release","camera":3,"session":)" + bossSession +
                              R"(,"user":"boss","priority":10})"),
              std::string::npos)
        << release[0];
    EXPECT_EQ(AuditLines(service, "login").size(), 2u);
    EXPECT_EQ(AuditLines(service, "handover").size(), 1u);
    EXPECT_TRUE(std::regex_search(
        release[0], std::regex(R"(^\{"time":"20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")")))
        << release[0];

    // A reload removes the camera and asks for an operator port that cannot
    // be opened: the old listener is kept, and everything says so; the
    // removed camera's commands stay counted.
    setup.cameras.clear();
    std::string xml = setup.Xml();
    const std::string clientAddress = R"(ClientAddress="127.0.0.1")";
    xml.replace(xml.find(clientAddress), clientAddress.size(), R"(ClientAddress="no-address")");
    WriteFile(service.Directory() + "tlKorvel.xml", xml);
    ASSERT_EQ(::kill(service.Pid(), SIGHUP), 0);
    const std::string listener = "127.0.0.1:" + std::to_string(service.Port());
    const std::string summary =
        "Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 cameras added, 1 camera "
        "removed, 0 cameras changed, 0 NVRs changed; still listening for KorvelControl sessions "
        "on " +
        listener + " instead of no-address:0.";
    ASSERT_TRUE(service.WaitForLog(summary)) << service.Log();
    const std::string reloaded = Body(Get(port, "/status"));
    for (const std::string& expected :
         {std::string(R"("config_generation":2,"last_reload":{"time":"20)"),
          R"(","result":"partial","summary":")" + summary + R"("},"operator_listener":")" +
              listener + R"(","cameras":[])"})
        EXPECT_NE(reloaded.find(expected), std::string::npos) << expected << "\nin\n" << reloaded;
    const std::string counted = Body(Get(port, "/metrics"));
    for (const char* expected : {"tlkorvel_config_reloads_total{result=\"partial\"} 1\n",
                                 "tlkorvel_config_reloads_total{result=\"applied\"} 0\n",
                                 "tlkorvel_commands_total{camera=\"3\",outcome=\"refused\"} 3\n"})
        EXPECT_NE(counted.find(expected), std::string::npos) << expected << "\nin\n" << counted;
    const std::string forwarded = "tlkorvel_commands_total{camera=\"3\",outcome=\"forwarded\"} " +
                                  std::to_string(2 + renewals) + "\n";
    EXPECT_NE(counted.find(forwarded), std::string::npos) << forwarded << "\nin\n" << counted;
    ASSERT_TRUE(WaitUntil([&] { return !AuditLines(service, "reload").empty(); }));
    EXPECT_NE(AuditLines(service, "reload")[0].find(R"("result":"partial")"), std::string::npos);
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// A status server that cannot start says why once, and the operators are
// served all the same.
TEST(OperationsView, StatusServerThatCannotStartIsLoggedOnce)
{
    // A port where something else listens.
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, StatusHost, &address.sin_addr);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string takenPort = std::to_string(ntohs(address.sin_port));

    const struct
    {
        std::string address;
        std::string port;
        std::string reason;
    } cases[] = {
        {"status.example", "8080", "Invalid argument"},
        {StatusHost, takenPort, "bind: Address already in use"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ServiceSetup setup;
        setup.options = "StatusAddress=\"" + c.address + "\" StatusPort=\"" + c.port + "\"";
        ServiceProcess service(setup);
        const std::string line =
            "Status server not started on " + c.address + ":" + c.port + ": " + c.reason;
        ASSERT_TRUE(service.WaitForLog(line)) << service.Log();
        ExpectRecovered(service, service.Now());
        EXPECT_EQ(service.CountLog("Status server "), 1) << service.Log();
        EXPECT_TRUE(service.Stop());
    }
    ::close(taken);
}

TEST(OperationsView, StatusServerTurnsAwayBadAndExcessRequests)
{
    ServiceSetup setup;
    setup.options = std::string("StatusAddress=\"") + StatusHost + "\" StatusPort=\"" +
                    std::to_string(UnusedPort()) + "\" StatusToken=\"t0ken\"";
    ServiceProcess service(setup);
    const std::uint16_t port = StatusPortOf(service);
    ASSERT_NE(port, 0);
    const std::string token = "Authorization: Bearer t0ken\r\n";

    const struct
    {
        const char* what;
        std::string request;
        const char* statusLine;
    } cases[] = {
        {"no token", "GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 401 Unauthorized"},
        {"a wrong token",
         "GET /status HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer t0kem\r\nConnection: "
         "close\r\n\r\n",
         "HTTP/1.1 401 Unauthorized"},
        {"the token", "GET /status HTTP/1.1\r\nHost: x\r\n" + token + "Connection: close\r\n\r\n",
         "HTTP/1.1 200 OK"},
        {"an unknown path",
         "GET /secret HTTP/1.1\r\nHost: x\r\n" + token + "Connection: close\r\n\r\n",
         "HTTP/1.1 404 Not Found"},
        {"POST", "POST /status HTTP/1.1\r\nHost: x\r\n" + token + "Content-Length: 0\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed"},
        {"a head over 8 KiB",
         "GET /status HTTP/1.1\r\nHost: x\r\n" + token + "X-Filler: " + std::string(9000, 'a') +
             "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"not HTTP", "HELLO\r\n\r\n", "HTTP/1.1 400 Bad Request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string answer = Exchange(port, c.request);
        EXPECT_EQ(StatusLine(answer), c.statusLine) << answer;
        EXPECT_EQ(answer.find("t0ken"), std::string::npos) << "the token is never shown";
    }
    const std::string head = Exchange(port, "HEAD /metrics HTTP/1.1\r\nHost: x\r\n" + token +
                                                "Connection: close\r\n\r\n");
    EXPECT_EQ(StatusLine(head), "HTTP/1.1 200 OK");
    EXPECT_EQ(Body(head), "") << "HEAD has the headers only";

    // Sixteen idle status clients from four addresses take every place; a
    // seventeenth takes the place of the one idle longest, and operators are
    // served all the same.
    const std::size_t before = service.Settled().descriptors;
    const auto idleSince = std::chrono::steady_clock::now();
    std::vector<int> idle;
    for (std::size_t i = 0; i < 16; ++i)
        idle.push_back(ConnectToStatus(port, "127.0.0." + std::to_string(3 + i / 4)));
    ASSERT_TRUE(WaitUntil([&] { return service.Now().descriptors >= before + 16; }));
    EXPECT_EQ(StatusLine(Get(port, "/status", token)), "HTTP/1.1 200 OK");
    OperatorClient probe(service.Port());
    EXPECT_EQ(probe.ReadGreeting(), "SESSION " + std::to_string(probe.LocalPort()));
    // The server closes a connection whose request has not come within five
    // seconds, which frees its place.
    for (const int fd : idle) {
        pollfd ready{fd, POLLIN, 0};
        char byte;
        EXPECT_TRUE(::poll(&ready, 1, 30000) == 1 && ::recv(fd, &byte, 1, 0) == 0)
            << "closed by the server";
        ::close(fd);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - idleSince, std::chrono::seconds(4))
        << "not before the time a request head may take";
    EXPECT_TRUE(
        WaitUntil([&] { return StatusLine(Get(port, "/status", token)) == "HTTP/1.1 200 OK"; }));
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

} // namespace korvel::operations_service_test
