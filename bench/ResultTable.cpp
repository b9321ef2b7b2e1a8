#include "ResultTable.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <sstream>

namespace korvel {

namespace {

using Figure = std::function<double(const ScenarioResult&)>;

const std::vector<std::pair<const char*, Figure>> LatencyFigures = {
    {"p50", [](const ScenarioResult& r) { return double(r.latency.p50); }},
    {"p90", [](const ScenarioResult& r) { return double(r.latency.p90); }},
    {"p99", [](const ScenarioResult& r) { return double(r.latency.p99); }},
    {"max", [](const ScenarioResult& r) { return double(r.latency.max); }},
};

// What the relay spent per frame sent, operators' sends included (a frame
// the service refuses costs it a receive too).
const Figure CpuPerFrame = [](const ScenarioResult& r) {
    return r.frames.sent > 0 ? double(r.relayCpuNanos) / double(r.frames.sent) : 0.0;
};

bool Usable(const ScenarioResult& result)
{
    return result.problem.empty();
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double MedianOf(const std::vector<ScenarioResult>& runs, const Figure& figure)
{
    std::vector<double> values;
    for (const ScenarioResult& run : runs)
        if (Usable(run))
            values.push_back(figure(run));
    return Median(values);
}

std::size_t Usables(const std::vector<ScenarioResult>& runs)
{
    return static_cast<std::size_t>(std::count_if(runs.begin(), runs.end(), Usable));
}

// Runs of the same index went one after the other, on the same machine state.
double MedianRatio(const ScenarioRecord& record, const Figure& figure)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < std::min(record.service.size(), record.socat.size()); ++i)
        if (Usable(record.service[i]) && Usable(record.socat[i]) && figure(record.socat[i]) > 0)
            ratios.push_back(figure(record.service[i]) / figure(record.socat[i]));
    return Median(ratios);
}

std::string Micros(double nanos)
{
    const double micros = nanos / 1000;
    char text[32];
    std::snprintf(text, sizeof text, micros < 10 ? "%.2f" : micros < 100 ? "%.1f" : "%.0f", micros);
    return text;
}

std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Latencies(const char* label, const std::vector<ScenarioResult>& runs)
{
    std::string text = label;
    for (const auto& [name, figure] : LatencyFigures)
        text += std::string(" ") + name + " " + Micros(MedianOf(runs, figure));
    return text + " us";
}

FrameTally Sum(const std::vector<ScenarioResult>& runs, std::size_t& garbled, std::size_t& unsent)
{
    FrameTally sum;
    for (const ScenarioResult& run : runs) {
        if (!Usable(run))
            continue;
        sum.sent += run.frames.sent;
        sum.delivered += run.frames.delivered;
        sum.refused += run.frames.refused;
        sum.lost += run.frames.lost;
        sum.unexpected += run.frames.unexpected;
        sum.duplicates += run.frames.duplicates;
        sum.misrouted += run.frames.misrouted;
        sum.strays += run.frames.strays;
        garbled += run.garbled;
        unsent += run.unsent;
    }
    return sum;
}

// Counts that must be zero are shown only when they are not.
std::string Frames(const FrameTally& tally, std::size_t garbled, std::size_t unsent)
{
    std::ostringstream text;
    text << "frames " << tally.sent << " sent, " << tally.delivered << " delivered, ";
    if (tally.refused > 0)
        text << tally.refused << " refused, ";
    text << tally.lost << " lost";
    const std::pair<std::size_t, const char*> faults[] = {{tally.unexpected, "wrongly admitted"},
                                                          {tally.duplicates, "duplicated"},
                                                          {tally.misrouted, "misrouted"},
                                                          {tally.strays, "stray"},
                                                          {garbled, "garbled bytes"},
                                                          {unsent, "unsent"}};
    for (const auto& [count, what] : faults)
        if (count > 0)
            text << ", " << count << " " << what;
    return text.str();
}

std::string Verdict(bool holds)
{
    return holds ? "PASS" : "MISS";
}

std::string Problems(const ScenarioRecord& record)
{
    std::size_t failed = 0;
    std::string first;
    for (const auto* runs : {&record.service, &record.socat})
        for (const ScenarioResult& run : *runs)
            if (!Usable(run)) {
                ++failed;
                if (first.empty())
                    first = run.problem.substr(0, run.problem.find('\n'));
            }
    if (failed == 0)
        return {};
    return " | " + std::to_string(failed) + " run(s) FAILED: " + first;
}

// Runs during which the whole machine stopped for a while: their tails
// measure the host. Said only when it happened, so that a quiet machine's
// line reads as it always has.
std::string MachinePausesSeen(const ScenarioRecord& record)
{
    std::size_t paused = 0, runs = 0;
    std::int64_t longest = 0;
    for (const auto* kind : {&record.service, &record.socat})
        for (const ScenarioResult& run : *kind) {
            ++runs;
            if (run.machine.count > 0)
                ++paused;
            longest = std::max(longest, run.machine.longestNanos);
        }
    if (paused == 0)
        return {};
    return " | the machine paused over " +
           std::to_string(MachinePauseProbe::ThresholdNanos / 1'000'000) + " ms in " +
           std::to_string(paused) + " of " + std::to_string(runs) + " runs (longest " +
           Fixed(static_cast<double>(longest) / 1e6, 0) + " ms)";
}

// Per rate: the median lag over the runs, and the frames dropped (sent and
// never delivered) summed over them.
std::string SlowLineFigures(const char* label, const std::vector<ScenarioResult>& runs)
{
    std::ostringstream text;
    text << label;
    const ScenarioResult* first = nullptr;
    for (const ScenarioResult& run : runs)
        if (Usable(run) && !first)
            first = &run;
    if (!first)
        return text.str() + " no result";
    for (std::size_t i = 0; i < first->slowLine.size(); ++i) {
        std::vector<double> lags;
        std::size_t sent = 0, delivered = 0;
        for (const ScenarioResult& run : runs) {
            if (!Usable(run) || run.slowLine.size() <= i)
                continue;
            lags.push_back(static_cast<double>(run.slowLine[i].lagNanos));
            sent += run.slowLine[i].sent;
            delivered += run.slowLine[i].delivered;
        }
        text << (i == 0 ? " " : "; ") << Fixed(first->slowLine[i].rate, 0) << "/s lag "
             << Fixed(Median(lags) / 1e9, 2) << " s, " << sent - delivered << " of " << sent
             << " dropped";
    }
    return text.str();
}

// Every rate's lag under 1.5 s, and nothing dropped at a rate the line carries.
bool SlowLineHolds(const std::vector<ScenarioResult>& runs)
{
    for (const ScenarioResult& run : runs)
        for (const ScenarioResult::SlowLineRate& rate : run.slowLine)
            if (rate.lagNanos >= 1'500'000'000 || (rate.fitsLine && rate.delivered < rate.sent))
                return false;
    return true;
}

} // namespace

std::string ResultLine(const ScenarioRecord& record)
{
    std::ostringstream line;
    // Padded to line up, never cut: a long description runs on.
    line << std::left << std::setw(8) << record.name << " " << std::setw(66) << record.description
         << std::right;

    const auto& service = record.service;
    if (Usables(service) == 0) {
        line << " | service: no result";
        if (Usables(record.socat) > 0)
            line << " | " << Latencies("socat", record.socat);
        return line.str() + Problems(record);
    }

    const auto p99 = LatencyFigures[2].second;
    std::size_t garbled = 0, unsent = 0;
    const FrameTally frames = Sum(service, garbled, unsent);
    const bool clean = frames.lost == 0 && frames.unexpected == 0 && frames.duplicates == 0 &&
                       frames.misrouted == 0 && garbled == 0 && unsent == 0;

    switch (record.kind) {
    case ScenarioKind::ClosedLoop:
    case ScenarioKind::OpenLoop:
    case ScenarioKind::Crowd: {
        line << " | " << Latencies("service", service);
        const bool compared = Usables(record.socat) > 0;
        if (compared) {
            line << " | " << Latencies("socat", record.socat) << " | ratio";
            for (const auto& [name, figure] : LatencyFigures)
                line << " " << name << " " << Fixed(MedianRatio(record, figure), 2);
        }
        line << " | CPU per frame: service " << Micros(MedianOf(service, CpuPerFrame)) << " us";
        if (compared)
            line << ", socat " << Micros(MedianOf(record.socat, CpuPerFrame)) << " us, ratio "
                 << Fixed(MedianRatio(record, CpuPerFrame), 2);
        line << " | " << Frames(frames, garbled, unsent);
        if (record.kind == ScenarioKind::ClosedLoop) {
            const bool holds = compared && MedianRatio(record, LatencyFigures[0].second) <= 1.0 &&
                               MedianRatio(record, p99) <= 1.0 && clean;
            line << " | target p50, p99 ratio <= 1.00, no loss: " << Verdict(holds);
        } else if (record.kind == ScenarioKind::OpenLoop) {
            const bool holds = compared && MedianRatio(record, p99) <= 1.0 && clean;
            line << " | target p99 ratio <= 1.00, no loss: " << Verdict(holds);
        } else {
            const bool holds = MedianOf(service, p99) < 5e6 && clean;
            line << " | target p99 < 5 ms, no loss: " << Verdict(holds);
        }
        break;
    }
    case ScenarioKind::FanOut: {
        std::size_t expected = 0, received = 0, extra = 0, sessions = 0, complete = 0;
        for (const ScenarioResult& run : service) {
            if (!Usable(run))
                continue;
            expected += run.noticesExpected;
            received += run.noticesReceived;
            extra += run.noticesExtra;
            sessions += run.noticeSessions;
            complete += run.sessionsComplete;
        }
        line << " | " << Latencies("notice", service) << " | notices " << received << " of "
             << expected << " (" << expected - received << " missing";
        if (extra > 0)
            line << ", " << extra << " extra";
        line << "), " << complete << " of " << sessions
             << " sessions complete | service CPU per steering frame "
             << Micros(MedianOf(service, CpuPerFrame)) << " us | steering "
             << Frames(frames, garbled, unsent);
        const bool holds = received == expected && extra == 0 && complete == sessions &&
                           MedianOf(service, p99) < 10e6 && clean;
        line << " | target every notice, p99 < 10 ms: " << Verdict(holds);
        break;
    }
    case ScenarioKind::Idle: {
        const auto rss =
            MedianOf(service, [](const ScenarioResult& r) { return double(r.residentKb); });
        const auto idle =
            MedianOf(service, [](const ScenarioResult& r) { return double(r.idleResidentKb); });
        const auto seconds =
            MedianOf(service, [](const ScenarioResult& r) { return r.loginSeconds; });
        // A run counts only when every session logged in.
        const std::size_t sessions = service.front().sessionsWanted;
        const double perSession = sessions > 0 ? (rss - idle) / static_cast<double>(sessions) : 0;
        line << " | service RSS " << Fixed(rss / 1024, 1) << " MB (no sessions "
             << Fixed(idle / 1024, 1) << " MB, " << Fixed(perSession, 2)
             << " KB per session) | all " << sessions << " logged in within " << Fixed(seconds, 1)
             << " s | target RSS < 64 MB: " << Verdict(rss < 64 * 1024);
        break;
    }
    case ScenarioKind::Polled: {
        std::size_t answers = 0, failures = 0;
        for (const ScenarioResult& run : service) {
            answers += run.statusAnswers;
            failures += run.statusFailures;
        }
        const bool compared = Usables(record.socat) > 0;
        line << " | " << Latencies("polled", service);
        if (compared) {
            line << " | " << Latencies("quiet", record.socat) << " | ratio";
            for (const auto& [name, figure] : LatencyFigures)
                line << " " << name << " " << Fixed(MedianRatio(record, figure), 2);
        }
        line << " | CPU per frame: polled " << Micros(MedianOf(service, CpuPerFrame)) << " us";
        if (compared)
            line << ", quiet " << Micros(MedianOf(record.socat, CpuPerFrame)) << " us";
        line << " | status answers " << answers << ", " << failures << " failed | "
             << Frames(frames, garbled, unsent);
        const bool holds = compared && MedianRatio(record, LatencyFigures[0].second) <= 1.1 &&
                           MedianRatio(record, p99) <= 1.1 && clean && failures == 0;
        line << " | target p50, p99 ratio <= 1.10, every poll answered, no loss: "
             << Verdict(holds);
        break;
    }
    case ScenarioKind::DirectoryLogins: {
        std::size_t tries = 0, logins = 0;
        double slowest = 0;
        for (const ScenarioResult& run : service) {
            tries += run.probeTries;
            logins += run.probeLogins;
            slowest = std::max(slowest, double(run.probeSlowestNanos));
        }
        const bool compared = Usables(record.socat) > 0;
        line << " | " << Latencies("logins", service);
        if (compared) {
            line << " | " << Latencies("quiet", record.socat) << " | ratio";
            for (const auto& [name, figure] : LatencyFigures)
                line << " " << name << " " << Fixed(MedianRatio(record, figure), 2);
        }
        line << " | CPU per frame: logins " << Micros(MedianOf(service, CpuPerFrame)) << " us";
        if (compared)
            line << ", quiet " << Micros(MedianOf(record.socat, CpuPerFrame)) << " us";
        line << " | directory logins " << logins << " OK of " << tries << ", slowest "
             << Micros(slowest) << " us | " << Frames(frames, garbled, unsent);
        const bool holds = compared && MedianRatio(record, LatencyFigures[0].second) <= 1.1 &&
                           MedianRatio(record, p99) <= 1.1 && clean && tries > 0 &&
                           logins == tries;
        line << " | target p50, p99 ratio <= 1.10, every login OK, no loss: " << Verdict(holds);
        break;
    }
    case ScenarioKind::Reloaded: {
        std::size_t asked = 0, done = 0;
        for (const ScenarioResult& run : service) {
            asked += run.reloadsAsked;
            done += run.reloadsDone;
        }
        const bool compared = Usables(record.socat) > 0;
        line << " | " << Latencies("reloading", service);
        if (compared) {
            line << " | " << Latencies("quiet", record.socat) << " | ratio";
            for (const auto& [name, figure] : LatencyFigures)
                line << " " << name << " " << Fixed(MedianRatio(record, figure), 2);
        }
        line << " | CPU per frame: reloading " << Micros(MedianOf(service, CpuPerFrame)) << " us";
        if (compared)
            line << ", quiet " << Micros(MedianOf(record.socat, CpuPerFrame)) << " us";
        line << " | reloads asked " << asked << ", done " << done << " | "
             << Frames(frames, garbled, unsent);
        // Requests that come while one waits are merged: at least one reload
        // per second of the run is done, and none is left undone.
        const bool holds = compared && MedianRatio(record, p99) <= 1.1 && clean && asked > 0 &&
                           done >= asked;
        line << " | target p99 ratio <= 1.10, every reload done, no loss: " << Verdict(holds);
        break;
    }
    case ScenarioKind::SlowLine: {
        line << " | " << SlowLineFigures("service", service);
        if (Usables(record.socat) > 0)
            line << " | " << SlowLineFigures("socat", record.socat);
        const bool faultless = frames.unexpected == 0 && frames.duplicates == 0 &&
                               frames.misrouted == 0 && garbled == 0 && unsent == 0;
        line << " | target lag < 1.5 s at every rate, none dropped at a rate the line carries: "
             << Verdict(Usables(service) == service.size() && SlowLineHolds(service) && faultless);
        break;
    }
    case ScenarioKind::Attacked: {
        std::size_t answers = 0, failures = 0, guesses = 0, closed = 0, expected = 0, received = 0;
        std::size_t insider = 0, flooded = 0, tries = 0, logins = 0;
        std::int64_t slowest = 0;
        for (const ScenarioResult& run : service) {
            if (!Usable(run))
                continue;
            answers += run.statusAnswers;
            failures += run.statusFailures;
            guesses += run.guessesAnswered;
            insider += run.insiderGuessesAnswered;
            closed += run.idleClosed;
            flooded += run.floodClosed;
            tries += run.probeTries;
            logins += run.probeLogins;
            slowest = std::max(slowest, run.probeSlowestNanos);
            expected += run.noticesExpected;
            received += run.noticesReceived;
        }
        const bool compared = Usables(record.socat) > 0;
        line << " | " << Latencies("notice attacked", service);
        if (compared) {
            line << " | " << Latencies("quiet", record.socat) << " | ratio";
            for (const auto& [name, figure] : LatencyFigures)
                line << " " << name << " " << Fixed(MedianRatio(record, figure), 2);
        }
        line << " | CPU per frame: attacked " << Micros(MedianOf(service, CpuPerFrame)) << " us";
        if (compared)
            line << ", quiet " << Micros(MedianOf(record.socat, CpuPerFrame)) << " us";
        line << " | failed LOGINs answered " << guesses << ", the insider's " << insider
             << ", idle status connections closed " << closed
             << ", idle operator connections closed " << flooded << ", status answers " << answers
             << ", " << failures << " failed, workstation logins " << logins << " of " << tries
             << " (slowest " << Micros(slowest) << " us)"
             << " | notices " << received << " of " << expected << " | "
             << Frames(frames, garbled, unsent);
        // Notices are counted, not required: a service that falls behind
        // (the whole machine pausing, above all) reads two frames in one
        // receive and sends one notice for both.
        const bool holds = compared && MedianOf(service, LatencyFigures[0].second) < 1e6 &&
                           MedianRatio(record, p99) <= 1.5 && clean && failures == 0 && tries > 0 &&
                           logins == tries;
        line << " | target p50 < 1 ms, p99 ratio <= 1.50, every poll answered, every "
                "workstation login answered OK, no loss: "
             << Verdict(holds);
        break;
    }
    }
    return line.str() + MachinePausesSeen(record) + Problems(record);
}

} // namespace korvel
