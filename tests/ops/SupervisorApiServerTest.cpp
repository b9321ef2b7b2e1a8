// The supervisor API through the status server's socket, korvelctl admin as
// a process against it, with supervisor actions that record what they are
// asked.
#include "support/StatusRequests.h"
#include "SupervisorConsole.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>

namespace korvel::supervisor_api_server_test {

namespace {

std::string Request(std::uint16_t port, const std::string& method, const std::string& target,
                    const std::string& headers = "", const std::string& body = "")
{
    return Exchange(port, method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + headers +
                              "Content-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body);
}

std::string Login(std::uint16_t port, const std::string& user, const std::string& password)
{
    const std::string answer =
        Request(port, "POST", "/api/login", "Content-Type: application/json\r\n",
                R"({"user":")" + user + R"(","password":")" + password + R"("})");
    std::smatch match;
    if (!std::regex_search(answer, match, std::regex(R"re(\{"token":"([0-9a-f]{64})"\})re")))
        return {};
    return match[1];
}

TEST(SupervisorApiServer, EveryAnswerOfTheApiThroughTheSocket)
{
    SupervisedStatusServer server("statussecret");
    const std::uint16_t port = server.Port();
    const std::string sup = Login(port, "sup", "pw");
    ASSERT_FALSE(sup.empty());
    const std::string boss = Login(port, "boss", "pw2");
    ASSERT_FALSE(boss.empty());
    EXPECT_NE(sup, boss);
    const std::string asSup = "Authorization: Bearer " + sup + "\r\n";
    const std::string json = "Content-Type: application/json\r\n";

    struct Case
    {
        std::string method, target, headers, body;
        std::string status;   // the status line
        std::string answer;   // the body
    };
    const Case cases[] = {
        {"POST", "/api/login", json, R"({"user":"sup","password":"wrong"})",
         "HTTP/1.1 401 Unauthorized", "{\"error\":\"the login was refused\"}\n"},
        {"POST", "/api/login", json, R"({"user":"op","password":"op"})",
         "HTTP/1.1 401 Unauthorized", "{\"error\":\"the login was refused\"}\n"},
        {"POST", "/api/cameras/3/reserve", json, R"({"user":"op","minutes":5})",
         "HTTP/1.1 401 Unauthorized", "{\"error\":\"no token: log in at /api/login first\"}\n"},
        {"POST", "/api/cameras/3/reserve", json + "Authorization: Bearer statussecret\r\n",
         R"({"user":"op","minutes":5})", "HTTP/1.1 401 Unauthorized",
         "{\"error\":\"the token is unknown or has lapsed: log in again\"}\n"},
        {"POST", "/api/cameras/3/reserve", json + "Authorization: Bearer " + sup + "x\r\n",
         R"({"user":"op","minutes":5})", "HTTP/1.1 401 Unauthorized",
         "{\"error\":\"the token is unknown or has lapsed: log in again\"}\n"},
        {"POST", "/api/cameras/3/reserve", json + asSup, R"({"user":"op","minutes":5})",
         "HTTP/1.1 200 OK", "{\"result\":\"done\"}\n"},
        {"POST", "/api/cameras/4/reserve", json + asSup, R"({"user":null,"minutes":1440})",
         "HTTP/1.1 200 OK", "{\"result\":\"done\"}\n"},
        {"POST", "/api/cameras/7/reserve", json + asSup, R"({"user":null,"minutes":1})",
         "HTTP/1.1 409 Conflict", "{\"error\":\"camera 7 is reserved by boss\"}\n"},
        {"POST", "/api/cameras/99/reserve", json + asSup, R"({"user":null,"minutes":1})",
         "HTTP/1.1 404 Not Found", "{\"error\":\"no camera 99\"}\n"},
        {"POST", "/api/cameras/3/reserve", json + asSup, R"({"user":"op","minutes":1441})",
         "HTTP/1.1 400 Bad Request",
         "{\"error\":\"the field \\\"minutes\\\" must be a whole number from 1 to 1440\"}\n"},
        {"POST", "/api/cameras/3/reserve", "Content-Type: text/plain\r\n" + asSup,
         R"({"user":"op","minutes":5})", "HTTP/1.1 415 Unsupported Media Type",
         "{\"error\":\"the body must be JSON (Content-Type: application/json)\"}\n"},
        {"POST", "/api/cameras/3/reserve", json + asSup, std::string(4097, ' '),
         "HTTP/1.1 413 Payload Too Large", "{\"error\":\"the body is larger than 4096 bytes\"}\n"},
        {"DELETE", "/api/cameras/3/reserve", asSup, "", "HTTP/1.1 200 OK",
         "{\"result\":\"done\"}\n"},
        {"POST", "/api/cameras/4/release", asSup, "", "HTTP/1.1 200 OK", "{\"result\":\"done\"}\n"},
        {"POST", "/api/sessions/2/end", asSup, "", "HTTP/1.1 200 OK", "{\"result\":\"done\"}\n"},
        {"POST", "/api/sessions/9/end", asSup, "", "HTTP/1.1 404 Not Found",
         "{\"error\":\"no session 9\"}\n"},
        {"POST", "/api/cameras/3/stop", asSup, "", "HTTP/1.1 404 Not Found",
         "{\"error\":\"no such request of the API\"}\n"},
        {"GET", "/api/cameras/3/release", asSup, "", "HTTP/1.1 405 Method Not Allowed",
         "{\"error\":\"the path takes POST only\"}\n"},
        // A supervisor's token reads the status and the metrics as the
        // StatusToken does; no token, or an unknown one, does not.
        {"GET", "/metrics", asSup, "", "HTTP/1.1 200 OK", "korvel_up 1\n"},
        {"GET", "/metrics", "Authorization: Bearer statussecret\r\n", "", "HTTP/1.1 200 OK",
         "korvel_up 1\n"},
        {"GET", "/metrics", "Authorization: Bearer " + sup + "x\r\n", "",
         "HTTP/1.1 401 Unauthorized", "401 Unauthorized\n"},
        {"GET", "/metrics", "", "", "HTTP/1.1 401 Unauthorized", "401 Unauthorized\n"},
    };
    for (const Case& c : cases) {
        const std::string answer = Request(port, c.method, c.target, c.headers, c.body);
        EXPECT_EQ(StatusLine(answer), c.status) << c.method << " " << c.target << " " << c.body;
        EXPECT_EQ(Body(answer), c.answer) << c.method << " " << c.target << " " << c.body;
        if (c.target.rfind("/api/", 0) == 0) {
            EXPECT_NE(answer.find("Content-Type: application/json"), std::string::npos) << answer;
        }
    }
    const std::vector<std::string> expected = {
        "login sup passed", "login boss passed", "login sup failed", "login op failed",
        "reserve 3 for=op 5min by sup", "reserve 4 for=(nobody) 1440min by sup",
        "reserve 7 for=(nobody) 1min by sup", "reserve 99 for=(nobody) 1min by sup",
        "unreserve 3 by sup", "release 4 by sup", "end 2 by sup", "end 9 by sup",
    };
    EXPECT_EQ(server.Supervisor().Calls(), expected)
        << "refused requests reach no action, and every action names its supervisor";

    // A user who is no longer a supervisor loses the API at the next
    // request, and the status with it; the other supervisor keeps both.
    server.Supervisor().Demote("sup");
    EXPECT_EQ(StatusLine(Request(port, "POST", "/api/cameras/3/release", asSup)),
              "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(StatusLine(Request(port, "GET", "/status", asSup)), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(StatusLine(Request(port, "POST", "/api/cameras/3/release",
                                 "Authorization: Bearer " + boss + "\r\n")),
              "HTTP/1.1 200 OK");

    // Several requests on one connection: the API's refusals keep it open,
    // so the last answer shows all were read.
    const std::string pipelined =
        "POST /api/cameras/3/reserve HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + boss +
        "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}"
        "POST /api/sessions/70000/end HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"
        "GET /status HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
        boss + "\r\nConnection: close\r\n\r\n";
    const std::string answers = Exchange(port, pipelined);
    EXPECT_NE(answers.find("HTTP/1.1 400 Bad Request"), std::string::npos) << answers;
    EXPECT_NE(answers.find("HTTP/1.1 404 Not Found"), std::string::npos) << answers;
    EXPECT_NE(answers.find("\"cameras\":["), std::string::npos) << answers;

    // Without the actions there is no API.
    SupervisedStatusServer off("", false);
    EXPECT_EQ(Request(off.Port(), "POST", "/api/login", json, R"({"user":"sup","password":"pw"})")
                  .find("HTTP/1.1 404 Not Found"),
              0u);
}

TEST(SupervisorApiServer, KorvelctlAdminSaysWhatEachAnswerMeans)
{
    SupervisedStatusServer server;
    TempDir runtime;
    const std::string tokenFile = runtime.Path() + "/korvelctl-token";
    Process::Options options;
    options.environment = {{"KORVELCTL_TOKEN_FILE", tokenFile}};
    options.unsetEnvironment = {"KORVEL_URL", "KORVEL_TOKEN", "XDG_RUNTIME_DIR"};
    const auto admin = [&](std::vector<std::string> arguments, const std::string& input = "") {
        Process::Options these = options;
        these.stdinPipe = true;
        Process process(KORVELCTL_BINARY, [&] {
            std::vector<std::string> all = {"admin"};
            all.insert(all.end(), arguments.begin(), arguments.end());
            return all;
        }(), these);
        process.WriteStdin(input);
        process.CloseStdin();
        EXPECT_TRUE(process.Wait());
        return RunResult{process.ExitStatus(), process.Stdout(), process.Stderr()};
    };

    struct Case
    {
        std::vector<std::string> arguments;
        std::string input;
        int status;
        std::string out; // a line the output holds
    };
    const std::string url = server.Url();
    const Case cases[] = {
        {{"status"}, "", 1, "no status server: give --url"},
        {{"--url", url, "status"}, "", 1, "no token: log in first"},
        {{"--url", url, "login", "sup"}, "wrong\n", 2,
         "login refused: the login was refused (401); log in with korvelctl admin login USER"},
        {{"--url", "http://127.0.0.2:1/", "login", "sup"}, "pw\n", 3,
         "cannot reach the status server at http://127.0.0.2:1/: connect:"},
        {{"--url", url, "login", "sup"}, "pw\n", 0, "logged in as sup; the token is kept in " + tokenFile},
        // From here the URL comes from the token file.
        {{"reserve", "3", "--for", "op", "--minutes", "5"}, "", 0,
         "camera 3 reserved for op for 5 minutes"},
        {{"reserve", "4", "--minutes", "60"}, "", 0,
         "camera 4 reserved for nobody (out of service) for 60 minutes"},
        {{"reserve", "7", "--minutes", "60"}, "", 5,
         "reserve refused: camera 7 is reserved by boss (409)"},
        {{"reserve", "3"}, "", 1, "reserve needs --minutes M, M from 1 to 1440"},
        {{"reserve", "3", "--minutes", "1441"}, "", 1, "reserve needs --minutes M"},
        {{"release", "99"}, "", 4, "release refused: no camera 99 (404)"},
        {{"release", "x"}, "", 1, "a camera is its Pelco number, not x"},
        {{"status"}, "", 0, "3      connected     -             -         op            sup           300 s     patrolling"},
        {{"unreserve", "3"}, "", 0, "camera 3 no longer reserved"},
        {{"release", "4"}, "", 0, "camera 4 released"},
        {{"end", "2"}, "", 0, "session 2 ended"},
        {{"end", "9"}, "", 4, "end refused: no session 9 (404)"},
        {{"frobnicate", "2"}, "", 1, "unknown command frobnicate"},
    };
    for (const Case& c : cases) {
        const RunResult result = admin(c.arguments, c.input);
        const std::string said = result.out + result.err;
        EXPECT_EQ(result.exitStatus, c.status) << said;
        EXPECT_NE(said.find(c.out), std::string::npos) << said;
    }
    struct stat info{};
    ASSERT_EQ(::stat(tokenFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "only its user may read the token";

    // The token printed for the environment serves as the file's would.
    const RunResult printed = admin({"--url", url, "login", "boss", "--print"}, "pw2\n");
    ASSERT_EQ(printed.exitStatus, 0) << printed.err;
    options.environment["KORVEL_TOKEN"] = printed.out.substr(0, printed.out.find('\n'));
    options.environment["KORVEL_URL"] = url;
    EXPECT_EQ(admin({"release", "7"}).exitStatus, 0);
    server.Supervisor().Demote("boss");
    const RunResult demoted = admin({"release", "7"});
    EXPECT_EQ(demoted.exitStatus, 2);
    EXPECT_NE(demoted.err.find("boss is no longer a supervisor (403)"), std::string::npos)
        << demoted.err;
}

} // namespace

} // namespace korvel::supervisor_api_server_test
