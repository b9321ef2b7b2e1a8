// The pure parts of the operations view: request routing, the audit line,
// JSON text, UTC time, the status document, the NVR board and the metrics.
#include "ops/AuditRecord.h"
#include "ops/JsonText.h"
#include "ops/MetricsText.h"
#include "ops/NvrStatusBoard.h"
#include "ops/StatusJson.h"
#include "ops/StatusRequest.h"
#include "ops/UtcTime.h"

#include <gtest/gtest.h>

namespace korvel::operations_core_test {

namespace {

using namespace std::chrono;

// U+FFFD, n times.
std::string Replaced(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += "\xef\xbf\xbd";
    return text;
}

system_clock::time_point At(int hour, int minute, int second, int millis)
{
    return sys_days(year(2026) / December / 8) + hours(hour) + minutes(minute) + seconds(second) +
           milliseconds(millis);
}

AuditRecord Record(std::string event, std::optional<std::uint32_t> camera, std::uint16_t session,
                   std::optional<std::string> user, std::optional<std::int32_t> priority = {},
                   std::optional<std::string> client = {},
                   std::optional<std::uint16_t> otherSession = {},
                   std::optional<std::string> otherUser = {},
                   std::optional<std::int32_t> otherPriority = {})
{
    AuditRecord record;
    record.event = std::move(event);
    record.camera = camera;
    record.session = session;
    record.user = std::move(user);
    record.priority = priority;
    record.client = std::move(client);
    record.otherSession = otherSession;
    record.otherUser = std::move(otherUser);
    record.otherPriority = otherPriority;
    return record;
}

} // namespace

TEST(StatusRequests, RouteByMethodTargetAndToken)
{
    using Content = StatusRoute::Content;
    const struct
    {
        const char* method;
        const char* target;
        const char* authorization;
        const char* token;
        unsigned code;
        Content content;
        bool headOnly;
    } cases[] = {
        {"GET", "/status", "", "", 200, Content::Status, false},
        {"GET", "/status?x=1", "", "", 200, Content::Status, false},
        {"HEAD", "/metrics", "", "", 200, Content::Metrics, true},
        {"GET", "/", "", "", 200, Content::Page, false},
        {"GET", "/index.html", "", "", 200, Content::Page, false},
        {"GET", "/statusx", "", "", 404, Content::Error, false},
        {"GET", "/../etc/passwd", "", "", 404, Content::Error, false},
        {"POST", "/status", "", "", 405, Content::Error, false},
        {"DELETE", "/nope", "", "", 405, Content::Error, false},
        {"get", "/status", "", "", 405, Content::Error, false},
        {"GET", "/status", "", "abc", 401, Content::Error, false},
        {"GET", "/nope", "", "abc", 401, Content::Error, false},
        {"GET", "/status", "Bearer abd", "abc", 401, Content::Error, false},
        {"GET", "/status", "Bearer abcd", "abc", 401, Content::Error, false},
        {"GET", "/status", "Basic abc", "abc", 401, Content::Error, false},
        {"GET", "/status", "Bearer abc", "abc", 200, Content::Status, false},
        {"GET", "/status", "bearer abc", "abc", 200, Content::Status, false},
        {"POST", "/status", "Bearer abc", "abc", 405, Content::Error, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target + " [" + c.authorization + "]");
        const StatusRoute route = RouteStatusRequest(c.method, c.target, c.authorization, c.token);
        EXPECT_EQ(route.code, c.code);
        EXPECT_EQ(route.content, c.content);
        EXPECT_EQ(route.headOnly, c.headOnly);
    }
}

TEST(AuditLines, OneJsonObjectPerEventWithoutPasswords)
{
    const auto when = At(2, 13, 4, 7);
    const AuditRecord login = Record("login", {}, 50123, "ann", 5, "10.0.0.7");
    const AuditRecord failed = Record("login-failed", {}, 50124, "x\"y", {}, "10.0.0.8");
    const AuditRecord control = Record("control", 7, 50123, "ann", 5);
    const AuditRecord takeover = Record("control", 7, 50200, "bob", 9, {}, 50123, "ann", 5);
    const AuditRecord anonymous = Record("control", 7, 50300, {}, 0, {}, 50200, {}, 9);
    const AuditRecord refused = Record("refused", 7, 50123, "ann", 5, {}, 50200, "bob", 9);
    const AuditRecord release = Record("release", 7, 50200, "bob", 9);
    const AuditRecord handover = Record("handover", 3, 50123, "ann");
    const AuditRecord end = Record("session-end", {}, 50123, "ann", {}, "10.0.0.7");
    AuditRecord reload;
    reload.event = "reload";
    reload.session.reset();
    reload.result = "refused";
    reload.summary = "Reload of tlKorvel.xml refused; keeping the running configuration.";
    AuditRecord reserve;
    reserve.event = "supervisor-reserve";
    reserve.session.reset();
    reserve.camera = 7;
    reserve.supervisor = "sue";
    reserve.reservation = true;
    reserve.minutes = 30;
    reserve.result = "ok";
    AuditRecord patrol;
    patrol.event = "patrol";
    patrol.session.reset();
    patrol.camera = 4;
    patrol.preset = 12;
    const struct
    {
        const AuditRecord& record;
        const char* line;
    } cases[] = {
        {login,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"login","session":50123,"user":"ann","priority":5,"client":"10.0.0.7"})"},
        {failed,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"login-failed","session":50124,"user":"x\"y","client":"10.0.0.8"})"},
        {control,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"control","camera":7,"session":50123,"user":"ann","priority":5})"},
        {takeover,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"control","camera":7,"session":50200,"user":"bob","priority":9,"previous_session":50123,"previous_user":"ann","previous_priority":5})"},
        {anonymous,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"control","camera":7,"session":50300,"user":null,"priority":0,"previous_session":50200,"previous_user":null,"previous_priority":9})"},
        {refused,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"refused","camera":7,"session":50123,"user":"ann","priority":5,"holder_session":50200,"holder_user":"bob","holder_priority":9})"},
        {release,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"release","camera":7,"session":50200,"user":"bob","priority":9})"},
        {handover,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"handover","camera":3,"session":50123,"user":"ann"})"},
        {end,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"session-end","session":50123,"user":"ann","client":"10.0.0.7"})"},
        {reload,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"reload","result":"refused","summary":"Reload of tlKorvel.xml refused; keeping the running configuration."})"},
        {reserve,
         R"({"time":"2026-12-08T02:13:04.007Z","event":"supervisor-reserve","camera":7,"supervisor":"sue","reserved_for":null,"minutes":30,"result":"ok"})"},
        {patrol, R"({"time":"2026-12-08T02:13:04.007Z","event":"patrol","camera":4,"preset":12})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatAuditLine(c.record, when), std::string(c.line) + "\n");
}

TEST(AuditLines, AFailedLoginKeepsAnUnknownNameOnlyUpToItsFirstControlCharacter)
{
    const struct
    {
        std::string name;
        bool configured;
        const char* user; // as the line has it
    } cases[] = {
        {"ann", true, R"("user":"ann","client")"},
        {"bob", false, R"("user":"bob","client")"},
        {"ann\tsecret", false, R"("user":"ann","user_cut":true,"client")"},
        {"ann\x7fsecret", false, R"("user":"ann","user_cut":true,"client")"},
        {"\r\nsecret", false, R"("user":"","user_cut":true,"client")"},
        {"tab\tname", true, R"("user":"tab\tname","client")"},
        {"caf\xc3\xa9\xc2\x9b", false, "\"user\":\"caf\xc3\xa9\xc2\x9b\",\"client\""},
    };
    for (const auto& c : cases) {
        AuditRecord record = Record("login-failed", {}, 50124, {}, {}, "10.0.0.8");
        SetFailedLoginUser(record, c.name, c.configured);
        const std::string line = FormatAuditLine(record, At(2, 13, 4, 7));
        EXPECT_NE(line.find(c.user), std::string::npos) << line;
    }
}

TEST(JsonText, EscapesWhatJsonCannotCarry)
{
    const struct
    {
        std::string text;
        std::string json;
    } cases[] = {
        {"plain", R"("plain")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"tab\there\nnl\r", R"("tab\there\nnl\r")"},
        {std::string("nul\0x\x01\x7f", 7), R"("nul\u0000x\u0001\u007f")"},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},           // UTF-8 stays
        {"caf\xe9", "\"caf" + Replaced(1) + "\""},    // Latin-1 does not
        {"\xc0\xaf", "\"" + Replaced(2) + "\""},      // overlong
        {"\xed\xa0\x80", "\"" + Replaced(3) + "\""},  // surrogate
        {"\xf0\x9f\x93\xb7", "\"\xf0\x9f\x93\xb7\""}, // four bytes
        {"\xe2\x82", "\"" + Replaced(2) + "\""},      // cut short
        {"\xc2\x9b", "\"\xc2\x9b\""},                 // C1 control: valid JSON as it is
    };
    for (const auto& c : cases) {
        std::string out;
        AppendJsonString(out, c.text);
        EXPECT_EQ(out, c.json);
    }
}

TEST(UtcTimes, Iso8601WithAndWithoutMilliseconds)
{
    EXPECT_EQ(FormatUtc(At(2, 13, 4, 7), true), "2026-12-08T02:13:04.007Z");
    EXPECT_EQ(FormatUtc(At(23, 59, 59, 999), false), "2026-12-08T23:59:59Z");
    EXPECT_EQ(FormatUtc(system_clock::time_point(), true), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtc(sys_days(year(2028) / February / 29), false), "2028-02-29T00:00:00Z");
}

StatusSnapshot Situation()
{
    StatusSnapshot status;
    status.version = "1.2.3";
    status.started = At(1, 0, 0, 500);
    status.uptimeSeconds = 4380;
    status.configuration = ConfigurationStatus{At(2, 13, 4, 7), 3, 2, 1, 1, std::nullopt};
    status.configuration.lastReload =
        ReloadStatus{At(2, 13, 4, 9), "partial",
                     "Reloaded tlKorvel.xml: ...; still listening for KorvelControl sessions on "
                     "127.0.0.1:55272 instead of 0.0.0.0:80."};
    status.operatorListener = "127.0.0.1:55272";
    CameraStatus gate;
    gate.pelco = 1;
    gate.address = "10.1.1.1";
    gate.port = "4001";
    gate.link = "connected";
    gate.linkUp = true;
    gate.nvrCameraId = 11;
    gate.nvrCameraName = "Gate \"north\"";
    gate.holder = HolderStatus{50123, "ann", 5, 2400};
    gate.forwarded = 12;
    gate.refused = 3;
    CameraStatus bay;
    bay.pelco = 3;
    bay.address = "7";
    bay.port = "/dev/ttyS0";
    bay.serial = true;
    bay.link = "failed";
    bay.holder = HolderStatus{50200, std::nullopt, 0, 0};
    bay.reservation = ReservationStatus{std::nullopt, "sue", 60000};
    bay.patrol = "waiting";
    bay.failed = 2;
    status.cameras = {gate, bay};
    status.removedCameras = {RemovedCameraCommands{2, 5, 0, 7, 1}};
    status.sessions = {SessionStatus{50123, "10.0.0.7", "ann", 5, 1, false},
                       SessionStatus{50200, "10.0.0.8", std::nullopt, 0, std::nullopt, true}};
    NvrStatus nvr;
    nvr.address = "10.9.9.9";
    nvr.state = "logged-in";
    nvr.cameras = 3;
    nvr.softTriggers = 2;
    nvr.loginsOk = 1;
    nvr.loginsFailed = 4;
    nvr.handovers = 6;
    status.nvrs = {nvr};
    status.counters = OperatorCounters{9, 7, 2, 1, 40};
    return status;
}

TEST(StatusDocument, EveryFieldWithNullsWhereUnknown)
{
    EXPECT_EQ(
        RenderStatusJson(Situation()),
        R"({"version":"1.2.3","started":"2026-12-08T01:00:00Z","uptime_s":4380,)"
        R"("config_loaded":"2026-12-08T02:13:04Z","config_generation":3,)"
        R"("last_reload":{"time":"2026-12-08T02:13:04Z","result":"partial","summary":"Reloaded tlKorvel.xml: ...; still listening for KorvelControl sessions on 127.0.0.1:55272 instead of 0.0.0.0:80."},)"
        R"("operator_listener":"127.0.0.1:55272","cameras":[)"
        R"({"pelco":1,"address":"10.1.1.1","port":4001,"transport":"tcp","link":"connected","nvr_camera_id":11,"nvr_camera_name":"Gate \"north\"","holder":{"session":50123,"user":"ann","priority":5,"hold_left_ms":2400},"reservation":null,"patrol":"off"},)"
        R"({"pelco":3,"address":"7","port":"/dev/ttyS0","transport":"serial","link":"failed","nvr_camera_id":null,"nvr_camera_name":null,"holder":{"session":50200,"user":null,"priority":0,"hold_left_ms":0},"reservation":{"for":null,"by":"sue","left_ms":60000},"patrol":"waiting"}],)"
        R"("sessions":[{"session":50123,"client":"10.0.0.7","user":"ann","priority":5,"camera":1,"choosing":false},)"
        R"({"session":50200,"client":"10.0.0.8","user":null,"priority":0,"camera":null,"choosing":true}],)"
        R"("nvrs":[{"address":"10.9.9.9","state":"logged-in","cameras":3,"soft_triggers":2}]})"
        "\n");
    StatusSnapshot empty;
    EXPECT_EQ(RenderStatusJson(empty),
              R"({"version":"","started":"1970-01-01T00:00:00Z","uptime_s":0,)"
              R"("config_loaded":"1970-01-01T00:00:00Z","config_generation":1,"last_reload":null,)"
              R"("operator_listener":null,"cameras":[],"sessions":[],"nvrs":[]})"
              "\n");
}

TEST(Metrics, SamplesCarryTheirLabels)
{
    ProcessFigures process;
    process.residentBytes = 4096;
    process.openDescriptors = 12;
    process.maxDescriptors = 1024;
    process.startTimeSeconds = 1796686400.5;
    process.cpuSeconds = 0.25;
    StatusSnapshot status = Situation();
    status.nvrs[0].address = "nvr \"a\"\\b";
    NvrStatus latin1;
    latin1.address = "caf\xe9\n";
    status.nvrs.push_back(latin1);
    status.audit = AuditCounts{5, 3, 1};
    status.counters.sessionsRefused = 4;
    status.counters.serviceStops = 8;
    status.counters.servicePatrols = 21;
    const std::string text = RenderMetrics(status, process);
    for (const char* sample : {
             "# TYPE tlkorvel_sessions_open gauge\ntlkorvel_sessions_open 2\n",
             "# TYPE tlkorvel_sessions_accepted_total counter\ntlkorvel_sessions_accepted_total "
             "9\n",
             "# TYPE tlkorvel_sessions_refused_total counter\ntlkorvel_sessions_refused_total "
             "4\n",
             "tlkorvel_logins_total{result=\"ok\"} 7\n",
             "tlkorvel_logins_total{result=\"failed\"} 2\n",
             "tlkorvel_commands_total{camera=\"1\",outcome=\"forwarded\"} 12\n",
             "tlkorvel_commands_total{camera=\"1\",outcome=\"refused\"} 3\n",
             "tlkorvel_commands_total{camera=\"3\",outcome=\"dropped\"} 0\n",
             "tlkorvel_commands_total{camera=\"3\",outcome=\"failed\"} 2\n",
             // A removed camera's series stay.
             "tlkorvel_commands_total{camera=\"2\",outcome=\"forwarded\"} 5\n",
             "tlkorvel_commands_total{camera=\"2\",outcome=\"dropped\"} 7\n",
             "tlkorvel_camera_write_errors_total{camera=\"2\"} 1\n",
             "tlkorvel_commands_total{outcome=\"unknown_camera\"} 1\n",
             "tlkorvel_notices_sent_total 40\n",
             "tlkorvel_camera_link_up{camera=\"1\"} 1\n",
             "tlkorvel_camera_link_up{camera=\"3\"} 0\n",
             "tlkorvel_camera_write_errors_total{camera=\"3\"} 2\n",
             "tlkorvel_camera_reserved{camera=\"1\"} 0\n",
             "tlkorvel_camera_reserved{camera=\"3\"} 1\n",
             "tlkorvel_camera_patrolling{camera=\"3\"} 0\n",
             "tlkorvel_service_writes_total{kind=\"stop\"} 8\n",
             "tlkorvel_service_writes_total{kind=\"home\"} 0\n",
             "tlkorvel_service_writes_total{kind=\"patrol\"} 21\n",
             "tlkorvel_nvr_logged_in{nvr=\"nvr \\\"a\\\"\\\\b\"} 1\n",
             "tlkorvel_nvr_logins_total{nvr=\"nvr \\\"a\\\"\\\\b\",result=\"failed\"} 4\n",
             "tlkorvel_soft_trigger_handovers_total{nvr=\"nvr \\\"a\\\"\\\\b\"} 6\n",
             // Label values are UTF-8, or the whole scrape is rejected; no
             // control character reaches a terminal.
             "tlkorvel_nvr_logged_in{nvr=\"caf\xef\xbf\xbd\\\\x0A\"} 0\n",
             "# TYPE tlkorvel_config_reloads_total counter\n"
             "tlkorvel_config_reloads_total{result=\"applied\"} 2\n"
             "tlkorvel_config_reloads_total{result=\"partial\"} 1\n"
             "tlkorvel_config_reloads_total{result=\"refused\"} 1\n",
             "tlkorvel_audit_records_total{result=\"written\"} 5\n",
             "tlkorvel_audit_records_total{result=\"dropped\"} 3\n",
             "tlkorvel_audit_records_total{result=\"failed\"} 1\n",
             "process_resident_memory_bytes 4096\n",
             "process_open_fds 12\n",
             "process_max_fds 1024\n",
             "process_start_time_seconds 1796686400.5\n",
             "process_cpu_seconds_total 0.25\n",
         })
        EXPECT_NE(text.find(sample), std::string::npos) << sample << "\nin\n" << text;
}

TEST(NvrBoard, PhasesAndCounts)
{
    NvrStatusBoard board({"10.0.0.2", "10.0.0.1"});
    using Phase = NvrStatusBoard::Phase;
    const struct
    {
        Phase phase;
        const char* state;
        std::uint64_t ok, refused, failed;
    } steps[] = {
        {Phase::Connecting, "connecting", 0, 0, 0}, {Phase::Retrying, "retrying", 0, 0, 1},
        {Phase::Connecting, "connecting", 0, 0, 1}, {Phase::LoggedIn, "logged-in", 1, 0, 1},
        {Phase::Connecting, "connecting", 1, 0, 1}, {Phase::LoginRefused, "login-refused", 1, 1, 1},
        {Phase::Stopped, "stopped", 1, 1, 1},
    };
    for (const auto& step : steps) {
        board.PhaseReached("10.0.0.2", step.phase);
        const NvrStatus nvr = board.Status()[1];
        EXPECT_EQ(nvr.state, step.state);
        EXPECT_EQ(nvr.loginsOk, step.ok);
        EXPECT_EQ(nvr.loginsRefused, step.refused);
        EXPECT_EQ(nvr.loginsFailed, step.failed);
    }
    board.InventoryCounted("10.0.0.1", 8, 3);
    board.HandedOver("10.0.0.1");
    board.HandedOver("10.0.0.3"); // not configured: ignored
    const auto list = board.Status();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].address, "10.0.0.1");
    EXPECT_EQ(list[0].state, "connecting");
    EXPECT_EQ(list[0].cameras, 8u);
    EXPECT_EQ(list[0].softTriggers, 3u);
    EXPECT_EQ(list[0].handovers, 1u);

    // A reload: one started again keeps its counters, one removed is gone,
    // one added joins.
    board.Started("10.0.0.2");
    board.Removed("10.0.0.1");
    board.Started("10.0.0.3");
    board.PhaseReached("10.0.0.1", Phase::LoggedIn);
    const auto reloaded = board.Status();
    ASSERT_EQ(reloaded.size(), 2u);
    EXPECT_EQ(reloaded[0].address, "10.0.0.2");
    EXPECT_EQ(reloaded[0].state, "connecting");
    EXPECT_EQ(reloaded[0].loginsRefused, 1u);
    EXPECT_EQ(reloaded[1].address, "10.0.0.3");
}

} // namespace korvel::operations_core_test
