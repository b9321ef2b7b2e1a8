// korvelbench: what the service costs between operator and camera, beside a
// plain byte relay doing the same job, scenario by scenario.
//
//   korvelbench [--service PATH] [--socat PATH] [--runs N] [--only a,b]
//               [--quick] [--no-socat] [--out FILE] [--wrapper "COMMAND ARGS"]
//               [--no-pin] [--no-audit-fifo]
//
// Scenarios: closed, open, crowd, fanout, idle, poll, attack, reload, directory, slow
// (which runs once unless --runs says otherwise). The attack
// scenario's audit file is a FIFO nobody reads unless --no-audit-fifo makes
// it a regular file. Prints one line per
// scenario on standard output (progress goes to standard error) and writes
// the lines to FILE when given. Exits 1 when a run could not be completed.

#include "BenchPlan.h"
#include "ResultTable.h"
#include "Scenarios.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>

namespace korvel {

namespace {

struct Options
{
    BenchPaths paths{KORVELBENCH_SERVICE, "socat", {}, {}};
    int runs = 0; // 0: the plan's
    std::set<std::string> only;
    bool quick = false;
    bool socat = true;
    bool pin = true;
    bool auditFifo = true;
    std::string out;
};

void Usage()
{
    std::cerr << "usage: korvelbench [--service PATH] [--socat PATH] [--runs N] "
                 "[--only closed,open,crowd,fanout,idle,poll,attack,reload,directory,slow] [--quick] "
                 "[--no-socat] "
                 "[--out FILE] [--wrapper \"COMMAND ARGS\"] [--no-pin] [--no-audit-fifo]\n";
}

bool Parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&]() -> std::string {
            return i + 1 < argc ? argv[++i] : std::string();
        };
        if (option == "--service") {
            options.paths.service = value();
        } else if (option == "--socat") {
            options.paths.socat = value();
        } else if (option == "--runs") {
            options.runs = std::atoi(value().c_str());
            if (options.runs < 1)
                return false;
        } else if (option == "--only") {
            std::istringstream names(value());
            for (std::string name; std::getline(names, name, ',');)
                options.only.insert(name);
        } else if (option == "--quick") {
            options.quick = true;
        } else if (option == "--no-socat") {
            options.socat = false;
        } else if (option == "--no-pin") {
            options.pin = false;
        } else if (option == "--no-audit-fifo") {
            options.auditFifo = false;
        } else if (option == "--out") {
            options.out = value();
        } else if (option == "--wrapper") {
            std::istringstream words(value());
            for (std::string word; words >> word;)
                options.paths.serviceWrapper.push_back(word);
        } else {
            return false;
        }
    }
    return !options.paths.service.empty();
}

// Ten thousand sessions need more descriptors than the usual default, in the
// bench and in the relay it starts (which inherits the limit).
void RaiseDescriptorLimit(rlim_t wanted)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < wanted) {
        rlimit raised{wanted, wanted};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return;
    }
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// The bench on the first CPU it may use, the relay under test on the others,
// as operators and cameras are on other machines than the service: neither
// side's wakeups preempt the other's work. Returns the relay's CPUs (none
// when there is only one).
std::vector<int> SeparateBenchFromRelay()
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2)
        return {};
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            cpus.push_back(cpu);
    cpu_set_t bench;
    CPU_ZERO(&bench);
    CPU_SET(cpus.front(), &bench);
    if (sched_setaffinity(0, sizeof bench, &bench) != 0)
        return {};
    cpus.erase(cpus.begin());
    return cpus;
}

std::string Placement(const std::vector<int>& relayCpus)
{
    if (relayCpus.empty())
        return "bench and relay on any CPU";
    std::string text = "relay on CPU";
    for (int cpu : relayCpus)
        text += " " + std::to_string(cpu);
    return text + ", bench on another";
}

std::string FirstLineOf(const std::string& command, const std::string& containing)
{
    std::string found;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe))
            if (found.empty() && std::string(line).find(containing) != std::string::npos)
                found = line;
        pclose(pipe);
    }
    while (!found.empty() && (found.back() == '\n' || found.back() == ' '))
        found.pop_back();
    return found;
}

std::string Machine()
{
    std::string model = FirstLineOf("cat /proc/cpuinfo", "model name");
    model = model.substr(model.find(':') == std::string::npos ? 0 : model.find(':') + 2);
    utsname system{};
    uname(&system);
    std::ostringstream text;
    text << model << ", " << std::thread::hardware_concurrency() << " cores, " << system.sysname
         << " " << system.release;
    return text.str();
}

std::string Today()
{
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", std::localtime(&now));
    return text;
}

void Progress(const std::string& name, int run, int runs, RelayKind kind,
              const ScenarioResult& result)
{
    const char* label = name == "poll"     ? (kind == RelayKind::Service ? "polled" : "quiet")
                        : name == "attack" ? (kind == RelayKind::Service ? "attacked" : "quiet")
                        : name == "reload" ? (kind == RelayKind::Service ? "reloading" : "quiet")
                                           : RelayName(kind);
    std::cerr << "  " << name << " run " << run << "/" << runs << " " << label << ": ";
    if (!result.problem.empty())
        std::cerr << "FAILED: " << result.problem << "\n";
    else if (!result.slowLine.empty())
        for (const ScenarioResult::SlowLineRate& rate : result.slowLine)
            std::cerr << rate.rate << "/s: lag " << rate.lagNanos / 1e9 << " s, "
                      << rate.sent - rate.delivered << " of " << rate.sent << " dropped"
                      << (&rate == &result.slowLine.back() ? "\n" : "; ");
    else if (result.latency.samples > 0)
        std::cerr << result.latency.samples << " samples, p50 " << result.latency.p50 / 1000.0
                  << " us, p99 " << result.latency.p99 / 1000.0 << " us\n";
    else
        std::cerr << "done\n";
    if (result.machine.count > 0)
        std::cerr << "    the machine paused " << result.machine.count << " time(s) over "
                  << MachinePauseProbe::ThresholdNanos / 1'000'000 << " ms, the longest "
                  << result.machine.longestNanos / 1'000'000 << " ms\n";
}

} // namespace

int Main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, options)) {
        Usage();
        return 2;
    }
    RaiseDescriptorLimit(65536);
    if (options.pin)
        options.paths.relayCpus = SeparateBenchFromRelay();
    BenchPlan plan = options.quick ? QuickPlan() : FullPlan();
    if (options.runs > 0)
        plan.runs = plan.slow.runs = options.runs;
    plan.attack.auditFifo = options.auditFifo;

    struct Scenario
    {
        ScenarioKind kind;
        std::string name;
        std::string description;
        bool compared; // also run against socat
        std::function<ScenarioResult(RelayKind)> run;
        int runs = 0; // 0: the plan's
    };
    const BenchPaths& paths = options.paths;
    const std::vector<Scenario> scenarios = {
        {ScenarioKind::ClosedLoop, "closed", Describe(plan.closed), true,
         [&](RelayKind kind) { return RunClosedLoop(paths, kind, plan.closed); }},
        {ScenarioKind::OpenLoop, "open", Describe(plan.open), true,
         [&](RelayKind kind) { return RunOpenLoop(paths, kind, plan.open); }},
        {ScenarioKind::Crowd, "crowd", Describe(plan.crowd), true,
         [&](RelayKind kind) { return RunOpenLoop(paths, kind, plan.crowd); }},
        {ScenarioKind::FanOut, "fanout", Describe(plan.fanOut), false,
         [&](RelayKind) { return RunFanOut(paths, plan.fanOut); }},
        {ScenarioKind::Idle, "idle", Describe(plan.idle), false,
         [&](RelayKind) { return RunIdle(paths, plan.idle); }},
        // Its pair is the service left alone, in the place of socat.
        {ScenarioKind::Polled, "poll", Describe(plan.open) + ", status polled 10/s", true,
         [&](RelayKind kind) {
             return RunOpenLoop(paths, RelayKind::Service, plan.open, kind == RelayKind::Service);
         }},
        // Likewise: the service attacked, and left alone.
        {ScenarioKind::Attacked, "attack", Describe(plan.open) + "; " + Describe(plan.attack), true,
         [&](RelayKind kind) {
             return RunUnderAttack(paths, plan.open, plan.attack, kind == RelayKind::Service);
         }},
        // Likewise: the service reloading its unchanged configuration every
        // second, and left alone.
        {ScenarioKind::Reloaded, "reload", Describe(plan.open) + ", a reload every second", true,
         [&](RelayKind kind) {
             return RunReloading(paths, plan.open, kind == RelayKind::Service);
         }},
        // Likewise: the service with a directory login ten times a second,
        // and without.
        {ScenarioKind::DirectoryLogins, "directory",
         Describe(plan.closed) + ", a directory login 10/s", true,
         [&](RelayKind kind) {
             return RunDirectoryLogins(paths, plan.closed, kind == RelayKind::Service);
         }},
        // socat keeps every frame: what the line does without the bound.
        {ScenarioKind::SlowLine, "slow", Describe(plan.slow), true,
         [&](RelayKind kind) { return RunSlowLine(paths, kind, plan.slow); }, plan.slow.runs},
    };

    std::vector<std::string> lines = {
        "tlKorvel bench, " + Today() + ", " + Machine() + ", " +
            FirstLineOf(paths.socat + " -V 2>/dev/null", "socat version"),
        "latency: operator send to camera arrival (fan-out: to each session's notice), "
        "kernel receive stamps, microseconds; medians of " +
            std::to_string(plan.runs) + " runs; ratio = service / socat within each run; " +
            Placement(paths.relayCpus)};
    for (const std::string& line : lines)
        std::cout << line << "\n";
    std::cout.flush();

    bool failed = false;
    for (const Scenario& scenario : scenarios) {
        if (!options.only.empty() && !options.only.count(scenario.name))
            continue;
        ScenarioRecord record{scenario.kind, scenario.name, scenario.description, {}, {}};
        const int runs = scenario.runs > 0 ? scenario.runs : plan.runs;
        for (int run = 1; run <= runs; ++run) {
            // Alternate which goes first, so neither always meets a warmer machine.
            std::vector<RelayKind> order = {RelayKind::Service};
            if (scenario.compared && (options.socat || scenario.kind == ScenarioKind::Polled ||
                                      scenario.kind == ScenarioKind::Attacked ||
                                      scenario.kind == ScenarioKind::Reloaded ||
                                      scenario.kind == ScenarioKind::DirectoryLogins))
                order.insert(run % 2 == 1 ? order.end() : order.begin(), RelayKind::Socat);
            for (RelayKind kind : order) {
                MachinePauseProbe probe;
                ScenarioResult result = scenario.run(kind);
                result.machine = probe.Finish();
                Progress(scenario.name, run, runs, kind, result);
                failed = failed || !result.problem.empty();
                (kind == RelayKind::Service ? record.service : record.socat)
                    .push_back(std::move(result));
            }
        }
        lines.push_back(ResultLine(record));
        std::cout << lines.back() << "\n";
        std::cout.flush();
    }

    if (!options.out.empty()) {
        const std::string temporary = options.out + ".tmp";
        {
            std::ofstream file(temporary);
            for (const std::string& line : lines)
                file << line << "\n";
        }
        std::filesystem::rename(temporary, options.out);
    }
    return failed ? 1 : 0;
}

} // namespace korvel

int main(int argc, char** argv)
{
    return korvel::Main(argc, argv);
}
