#include "ops/MetricsText.h"

#include "text/OutsideText.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace korvel {

namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

// Label values must be UTF-8, or the whole scrape is rejected: bytes that
// are not become U+FFFD, as in /status. The format has no escape for other
// control characters, so they are shown as \xNN, as everywhere else.
std::string EscapeLabelValue(const std::string& value)
{
    std::string out;
    for (const char c : EscapedText(ValidUtf8(value))) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string FormatDouble(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// One metric family: its HELP and TYPE lines, then its samples.
class Family
{
public:
    Family(std::string& out, const char* name, const char* type, const char* help)
        : out(out), name(name)
    {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    }

    void Sample(const Labels& labels, const std::string& value)
    {
        out += name;
        if (!labels.empty()) {
            out += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (i > 0)
                    out += ',';
                out += labels[i].first;
                out += "=\"";
                out += EscapeLabelValue(labels[i].second);
                out += '"';
            }
            out += '}';
        }
        out += ' ';
        out += value;
        out += '\n';
    }
    void Sample(const Labels& labels, std::uint64_t value)
    {
        Sample(labels, std::to_string(value));
    }
    void Sample(std::uint64_t value) { Sample({}, value); }

private:
    std::string& out;
    const char* name;
};

Labels CameraLabel(const CameraStatus& camera)
{
    return {{"camera", std::to_string(camera.pelco)}};
}

void RenderOperators(std::string& out, const StatusSnapshot& status)
{
    const OperatorCounters& counters = status.counters;
    Family(out, "tlkorvel_sessions_open", "gauge", "Operator sessions open now.")
        .Sample(status.sessions.size());
    Family(out, "tlkorvel_sessions_accepted_total", "counter",
           "Operator connections accepted and greeted.")
        .Sample(counters.sessionsAccepted);
    Family(out, "tlkorvel_sessions_refused_total", "counter",
           "Operator connections closed at once, ungreeted, because the session cap (MaxSessions) "
           "was reached.")
        .Sample(counters.sessionsRefused);
    Family(out, "tlkorvel_sessions_evicted_total", "counter",
           "Operator connections that had not logged in, closed to make room for a new one while "
           "the session cap (MaxSessions) was reached.")
        .Sample(counters.sessionsEvicted);

    Family logins(out, "tlkorvel_logins_total", "counter", "Operator LOGIN messages by result.");
    logins.Sample({{"result", "ok"}}, counters.loginsOk);
    logins.Sample({{"result", "failed"}}, counters.loginsFailed);
    Family(out, "tlkorvel_logins_throttled_total", "counter",
           "Failed operator LOGINs whose FAILURE reply was held back by the failed-login "
           "throttle.")
        .Sample(counters.loginsThrottled);

    Family commands(out, "tlkorvel_commands_total", "counter",
                    "Operator camera commands by outcome.");
    // A Pelco number keeps its series for the run: a removed camera's stay.
    const auto sample = [&commands](std::uint32_t camera, std::uint64_t forwarded,
                                    std::uint64_t refused, std::uint64_t dropped,
                                    std::uint64_t failed) {
        const std::string pelco = std::to_string(camera);
        commands.Sample({{"camera", pelco}, {"outcome", "forwarded"}}, forwarded);
        commands.Sample({{"camera", pelco}, {"outcome", "refused"}}, refused);
        commands.Sample({{"camera", pelco}, {"outcome", "dropped"}}, dropped);
        commands.Sample({{"camera", pelco}, {"outcome", "failed"}}, failed);
    };
    for (const CameraStatus& camera : status.cameras)
        sample(camera.pelco, camera.forwarded, camera.refused, camera.dropped, camera.failed);
    for (const RemovedCameraCommands& camera : status.removedCameras)
        sample(camera.pelco, camera.forwarded, camera.refused, camera.dropped, camera.failed);
    commands.Sample({{"outcome", "unknown_camera"}}, counters.unknownCamera);

    Family skipped(out, "tlkorvel_log_lines_skipped_total", "counter",
                   "Log lines not written because their client address had its share of that "
                   "kind for the minute.");
    skipped.Sample({{"kind", "unknown_camera"}}, counters.unknownCameraLinesSkipped);
    skipped.Sample({{"kind", "ignored_commands"}}, counters.ignoredCommandLinesSkipped);

    Family(out, "tlkorvel_notices_sent_total", "counter",
           "CAMERA messages and control notices queued for operators.")
        .Sample(counters.noticesSent);

    Family writes(out, "tlkorvel_service_writes_total", "counter",
                  "Frames the service wrote to cameras of its own accord, by kind: stop when a "
                  "hold ended, home preset after idle, patrol preset.");
    writes.Sample({{"kind", "stop"}}, counters.serviceStops);
    writes.Sample({{"kind", "home"}}, counters.serviceHomes);
    writes.Sample({{"kind", "patrol"}}, counters.servicePatrols);
}

void RenderCameras(std::string& out, const StatusSnapshot& status)
{
    Family up(out, "tlkorvel_camera_link_up", "gauge",
              "1 while the camera's link is connected (network) or open (serial).");
    for (const CameraStatus& camera : status.cameras)
        up.Sample(CameraLabel(camera), camera.linkUp ? 1 : 0);
    Family errors(out, "tlkorvel_camera_write_errors_total", "counter",
                  "Command writes to the camera that failed.");
    for (const CameraStatus& camera : status.cameras)
        errors.Sample(CameraLabel(camera), camera.failed);
    for (const RemovedCameraCommands& camera : status.removedCameras)
        errors.Sample({{"camera", std::to_string(camera.pelco)}}, camera.failed);
    Family reserved(out, "tlkorvel_camera_reserved", "gauge",
                    "1 while a supervisor's reservation of the camera stands.");
    for (const CameraStatus& camera : status.cameras)
        reserved.Sample(CameraLabel(camera), camera.reservation ? 1 : 0);
    Family patrolling(out, "tlkorvel_camera_patrolling", "gauge",
                      "1 while the camera patrols its tour of presets.");
    for (const CameraStatus& camera : status.cameras)
        patrolling.Sample(CameraLabel(camera), camera.patrol == "patrolling" ? 1 : 0);
}

void RenderNvrs(std::string& out, const StatusSnapshot& status)
{
    Family loggedIn(out, "tlkorvel_nvr_logged_in", "gauge",
                    "1 while the NVR session is logged in.");
    for (const NvrStatus& nvr : status.nvrs)
        loggedIn.Sample({{"nvr", nvr.address}}, nvr.state == "logged-in" ? 1 : 0);
    Family logins(out, "tlkorvel_nvr_logins_total", "counter", "NVR login attempts by result.");
    for (const NvrStatus& nvr : status.nvrs) {
        logins.Sample({{"nvr", nvr.address}, {"result", "ok"}}, nvr.loginsOk);
        logins.Sample({{"nvr", nvr.address}, {"result", "refused"}}, nvr.loginsRefused);
        logins.Sample({{"nvr", nvr.address}, {"result", "failed"}}, nvr.loginsFailed);
    }
    Family handovers(out, "tlkorvel_soft_trigger_handovers_total", "counter",
                     "Cameras handed to the choosing operator by a soft trigger of the NVR.");
    for (const NvrStatus& nvr : status.nvrs)
        handovers.Sample({{"nvr", nvr.address}}, nvr.handovers);
}

void RenderConfiguration(std::string& out, const StatusSnapshot& status)
{
    Family reloads(out, "tlkorvel_config_reloads_total", "counter",
                   "Reloads of tlKorvel.xml by result: applied, partial (applied but for a "
                   "listener kept where it was), or refused (the running configuration kept).");
    reloads.Sample({{"result", "applied"}}, status.configuration.reloadsApplied);
    reloads.Sample({{"result", "partial"}}, status.configuration.reloadsPartial);
    reloads.Sample({{"result", "refused"}}, status.configuration.reloadsRefused);
}

void RenderAudit(std::string& out, const StatusSnapshot& status)
{
    if (!status.audit)
        return;
    Family records(out, "tlkorvel_audit_records_total", "counter",
                   "Control audit records by what became of them.");
    records.Sample({{"result", "written"}}, status.audit->written);
    records.Sample({{"result", "dropped"}}, status.audit->dropped);
    records.Sample({{"result", "failed"}}, status.audit->failed);
}

void RenderProcess(std::string& out, const ProcessFigures& process)
{
    Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.")
        .Sample(process.residentBytes);
    Family(out, "process_open_fds", "gauge", "Number of open file descriptors.")
        .Sample(process.openDescriptors);
    Family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.")
        .Sample(process.maxDescriptors);
    Family(out, "process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.")
        .Sample({}, FormatDouble(process.startTimeSeconds));
    Family(out, "process_cpu_seconds_total", "counter",
           "Total user and system CPU time spent in seconds.")
        .Sample({}, FormatDouble(process.cpuSeconds));
}

} // namespace

std::string RenderMetrics(const StatusSnapshot& status, const ProcessFigures& process)
{
    std::string out;
    RenderOperators(out, status);
    RenderCameras(out, status);
    RenderNvrs(out, status);
    RenderConfiguration(out, status);
    RenderAudit(out, status);
    RenderProcess(out, process);
    return out;
}

} // namespace korvel
