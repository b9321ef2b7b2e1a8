// The shipped alerting rules on a real Prometheus server: it scrapes the
// running service every second with the rules loaded (a copy of the shipped
// file whose `for` times are seconds instead of minutes), a camera's link
// goes down and the alert fires with the camera's label, the link comes back
// and the alert resolves. promtool's unit tests of every alert, on simulated
// time, are in alerts/.
#include "support/StatusRequests.h"
#include "support/Camsim.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/ServiceProcess.h"
#include "support/UnusedPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>

namespace korvel::alert_rules_test {

namespace {

using namespace std::chrono_literals;

const std::string ShippedRules =
    std::string(TLKORVEL_SOURCE_DIR) + "/packaging/prometheus/tlkorvel-alerts.yml";

// The shipped rules with every `for` time in minutes made as many seconds.
// Fails the test unless every `for` time is in minutes, so that the copy
// cannot keep one of minutes that the test would wait for.
std::string RulesInSeconds(const std::string& shipped)
{
    const std::regex minutes("for: ([0-9]+)m\n");
    const auto count = [&](const std::string& text, const std::regex& pattern) {
        return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                             std::sregex_iterator());
    };
    EXPECT_GT(count(shipped, minutes), 0) << shipped;
    EXPECT_EQ(count(shipped, minutes), count(shipped, std::regex("for: "))) << shipped;
    return std::regex_replace(shipped, minutes, "for: $1s\n");
}

// The objects of the "alerts" array of an /api/v1/alerts answer, as text.
std::vector<std::string> Alerts(const std::string& answer)
{
    std::vector<std::string> alerts;
    const std::string key = "\"alerts\":[";
    auto at = answer.find(key);
    if (at == std::string::npos)
        return alerts;
    int depth = 0;
    bool inString = false;
    std::size_t start = 0;
    for (at += key.size(); at < answer.size(); ++at) {
        const char c = answer[at];
        if (inString) {
            if (c == '\\')
                ++at;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            if (depth++ == 0)
                start = at;
        } else if (c == '}') {
            if (--depth == 0)
                alerts.push_back(answer.substr(start, at - start + 1));
        } else if (c == ']' && depth == 0) {
            break;
        }
    }
    return alerts;
}

// A Prometheus server in the folder (its configuration and storage there) on
// a port of 127.0.0.2 that it picks, scraping the target every second and
// evaluating the rules file every second. The test stops it; should the test
// end early, the process goes with the object (SIGKILL).
class PrometheusServer
{
public:
    PrometheusServer(const std::string& program, const TempDir& dir, const std::string& target,
                     const std::string& rules)
    {
        WriteFile(dir.File("rules.yml"), rules);
        WriteFile(dir.File("prometheus.yml"), "global:\n"
                                              "  scrape_interval: 1s\n"
                                              "  scrape_timeout: 1s\n"
                                              "  evaluation_interval: 1s\n"
                                              "rule_files:\n"
                                              "  - rules.yml\n"
                                              "scrape_configs:\n"
                                              "  - job_name: tlkorvel\n"
                                              "    static_configs:\n"
                                              "      - targets: [\"" +
                                                  target + "\"]\n");
        Process::Options options;
        options.workingDirectory = dir.Path();
        process = std::make_unique<Process>(
            program,
            std::vector<std::string>{"--config.file=" + dir.File("prometheus.yml"),
                                     "--storage.tsdb.path=" + dir.File("data"),
                                     std::string("--web.listen-address=") + StatusHost + ":0"},
            options);
        const std::regex listening("msg=\"Listening on\" address=[0-9.]+:([0-9]+)");
        WaitUntil(
            [&] {
                const std::string log = Log();
                return log.find("Server is ready to receive web requests.") != std::string::npos ||
                       !process->Running();
            },
            60s, 100ms);
        std::smatch match;
        const std::string log = Log();
        if (std::regex_search(log, match, listening))
            port = static_cast<std::uint16_t>(std::stoul(match[1]));
    }

    // 0 when it did not start.
    std::uint16_t Port() const { return port; }
    std::string Log() const { return process->Stderr(); }

    // The body of the answer to GET target, asked as HTTP/1.0 so that it
    // comes whole rather than in chunks.
    std::string Api(const std::string& target) const
    {
        return Body(Exchange(port, "GET " + target + " HTTP/1.0\r\nHost: x\r\n\r\n"));
    }

    // SIGTERM; true when it ended with status 0 in time.
    bool Stop()
    {
        process->Signal(SIGTERM);
        return process->Wait(30s) && !process->Signalled() && process->ExitStatus() == 0;
    }

private:
    std::unique_ptr<Process> process;
    std::uint16_t port = 0;
};

} // namespace

TEST(AlertRules, CameraLinkDownFiresOnARealServerAndResolves)
{
    const std::string program = ProgramPath("prometheus");
    if (program.empty())
        GTEST_SKIP() << "prometheus is missing (make test installs the prometheus package)";
    const std::string rules = RulesInSeconds(ReadFile(ShippedRules));

    auto camera = Camsim::Tcp(0, "127.0.0.20");
    const std::uint16_t cameraPort = camera->Port();
    ServiceSetup setup;
    setup.users = {R"(<User Name="steer" Password="pw" Priority="5" />)"};
    setup.cameras = {R"(<Camera Address="127.0.0.20" Port=")" + std::to_string(cameraPort) +
                     R"(" PelcoNumber="3" />)"};
    setup.options = std::string("StatusAddress=\"") + StatusHost + "\" StatusPort=\"" +
                    std::to_string(UnusedPort()) + "\"";
    ServiceProcess service(setup);
    const std::uint16_t statusPort = StatusPortOf(service);
    ASSERT_NE(statusPort, 0);
    ASSERT_TRUE(WaitUntil([&] { return camera->Connections() == 1; })) << service.Log();

    TempDir dir;
    const std::string instance = std::string(StatusHost) + ":" + std::to_string(statusPort);
    PrometheusServer prometheus(program, dir, instance, rules);
    ASSERT_NE(prometheus.Port(), 0) << prometheus.Log();

    // The alert of camera 3, when the server lists it with that state.
    const auto alertOfCamera = [&](const char* state) {
        for (const std::string& alert : Alerts(prometheus.Api("/api/v1/alerts"))) {
            if (alert.find(R"("alertname":"TlKorvelCameraLinkDown")") != std::string::npos &&
                alert.find(R"("camera":"3")") != std::string::npos &&
                alert.find("\"state\":\"" + std::string(state) + "\"") != std::string::npos)
                return alert;
        }
        return std::string();
    };
    // The server's last sample of camera 3's link says it is up.
    const auto linkUpScraped = [&] {
        return prometheus.Api("/api/v1/query?query=tlkorvel_camera_link_up%7Bcamera%3D%223%22%7D")
                   .find(",\"1\"]}") != std::string::npos;
    };

    // Scraped, with the link up, and the rule evaluated without an error.
    ASSERT_TRUE(WaitUntil([&] { return linkUpScraped(); }, 90s, 250ms)) << prometheus.Log();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return prometheus.Api("/api/v1/rules").find(R"("name":"TlKorvelCameraLinkDown")") !=
                   std::string::npos;
        },
        90s, 250ms))
        << prometheus.Api("/api/v1/rules") << prometheus.Log();
    EXPECT_EQ(alertOfCamera("firing"), "");
    EXPECT_EQ(alertOfCamera("pending"), "");

    // The camera goes; the next commands' writes find the link broken.
    auto steer = LogIn(service.Port(), "steer", "pw");
    ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, 1)));
    ASSERT_TRUE(camera->WaitForNumber(1)) << camera->Output();
    camera->Kill();
    for (unsigned number = 2; service.CountLog("Error sending command to 127.0.0.20: ") == 0;
         ++number) {
        ASSERT_LT(number, 200u) << service.Log();
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
        service.WaitForLog("Error sending command to 127.0.0.20: ", 1, 100ms);
    }
    std::string firing;
    ASSERT_TRUE(WaitUntil(
        [&] {
            firing = alertOfCamera("firing");
            return !firing.empty();
        },
        90s, 250ms))
        << prometheus.Api("/api/v1/alerts") << service.Log();
    for (const std::string& expected :
         {std::string(R"("severity":"warning")"), "\"instance\":\"" + instance + "\"",
          std::string(R"("job":"tlkorvel")"),
          "\"summary\":\"Camera 3 of tlKorvel at " + instance + " has no link\"",
          std::string("The track camera with Pelco number 3 has had no connection")})
        EXPECT_NE(firing.find(expected), std::string::npos) << expected << "\nin\n" << firing;

    // Back on its port: the link is made again and the alert resolves.
    camera = Camsim::Tcp(cameraPort, "127.0.0.20");
    ASSERT_TRUE(WaitUntil([&] { return camera->Connections() == 1; }, 60s)) << service.Log();
    EXPECT_TRUE(WaitUntil([&] { return linkUpScraped(); }, 90s, 250ms));
    EXPECT_TRUE(WaitUntil(
        [&] { return alertOfCamera("firing").empty() && alertOfCamera("pending").empty(); }, 90s,
        250ms))
        << prometheus.Api("/api/v1/alerts");

    EXPECT_TRUE(prometheus.Stop()) << prometheus.Log();
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

} // namespace korvel::alert_rules_test
