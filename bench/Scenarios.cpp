#include "Scenarios.h"

#include "Attackers.h"
#include "CameraFarm.h"
#include "Clock.h"
#include "SessionPool.h"
#include "StatusPoller.h"
#include "client/OperatorProtocol.h"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include <stdlib.h>

namespace korvel {

using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// Two users: each camera's holder, and everyone else, who may watch the
// camera but is refused while the holder holds it.
const OperatorAccount Lead{"lead", "bench", 2};
const OperatorAccount Crew{"crew", "bench", 1};
// Longer than any run: a camera's holder stays its holder throughout.
constexpr unsigned LockTimeSecs = 60;
constexpr std::size_t ParallelHandshakes = 100;

std::string Count(std::size_t part, std::size_t whole)
{
    return std::to_string(part) + " of " + std::to_string(whole);
}

// The directory a LOGIN is checked against in the directory scenario: PAM
// wrapped (pam_wrapper, with pam_matrix as the directory) and the name
// service too (nss_wrapper, for the account's group), from files in a
// folder of its own; the machine's PAM configuration is never read.
struct DirectoryAccounts
{
    static constexpr const char* Name = "directory-operator";
    static constexpr const char* Password = "directory pw";

    DirectoryAccounts()
    {
        const std::string libraries = "/usr/lib/x86_64-linux-gnu/";
        const std::string matrix = libraries + "pam_wrapper/pam_matrix.so";
        for (const std::string& file : {libraries + "libpam_wrapper.so",
                                        libraries + "libnss_wrapper.so", matrix}) {
            if (!std::filesystem::exists(file)) {
                problem = file + " is missing (libpam-wrapper, libnss-wrapper)";
                return;
            }
        }
        std::string pattern = "/tmp/korvelbench-directory.XXXXXX";
        if (!mkdtemp(pattern.data())) {
            problem = "cannot make a folder under /tmp";
            return;
        }
        folder = pattern + "/";
        std::filesystem::create_directory(folder + "pam.d");
        std::ofstream(folder + "passdb") << Name << ":" << Password << ":korvelbench\n";
        std::ofstream(folder + "pam.d/korvelbench")
            << "auth required " << matrix << " passdb=" << folder << "passdb\n"
            << "account required " << matrix << " passdb=" << folder << "passdb\n";
        std::ofstream(folder + "passwd") << Name << ":x:2001:2001::/nonexistent:/bin/false\n";
        std::ofstream(folder + "group") << Name << ":x:2001:\ncctv:x:3000:" << Name << "\n";
        extras.directoryService = "korvelbench";
        extras.launcher = {"env",
                           "LD_PRELOAD=" + libraries + "libpam_wrapper.so:" + libraries +
                               "libnss_wrapper.so",
                           "PAM_WRAPPER=1", "PAM_WRAPPER_SERVICE_DIR=" + folder + "pam.d",
                           "NSS_WRAPPER_PASSWD=" + folder + "passwd",
                           "NSS_WRAPPER_GROUP=" + folder + "group"};
    }
    ~DirectoryAccounts()
    {
        std::error_code ignored;
        if (!folder.empty())
            std::filesystem::remove_all(folder, ignored);
    }
    DirectoryAccounts(const DirectoryAccounts&) = delete;
    DirectoryAccounts& operator=(const DirectoryAccounts&) = delete;

    std::string folder;
    std::string problem; // why there is none
    ServiceExtras extras;
};

ScenarioResult ClosedLoop(const BenchPaths& paths, RelayKind kind, const ClosedLoopPlan& plan,
                          const ServiceExtras& extras, bool directoryLogins);

// Everything one run needs. Members go in reverse order: the operators and
// the relay before the cameras, all of them before the loop they use.
class Rig
{
public:
    // The cameras may sit on slow lines behind terminal servers (see
    // CameraFarm), whose baud rate the service is told.
    Rig(RelayKind kind, const BenchPaths& paths, std::size_t cameras,
        const ServiceExtras& extras = {}, double lineBytes = 0, unsigned lineBaudRate = 0)
        : kind(kind), cameraCount(cameras)
    {
        std::vector<std::uint8_t> numbers;
        // A plain relay forwards every operator to one camera.
        const std::size_t listening = kind == RelayKind::Service ? cameras : 1;
        for (std::size_t number = 1; number <= listening; ++number)
            numbers.push_back(static_cast<std::uint8_t>(number));
        farm = std::make_unique<CameraFarm>(io, numbers, ledger, kind == RelayKind::Service,
                                            lineBytes);
        std::vector<CameraEndpoint> endpoints = farm->Endpoints();
        for (CameraEndpoint& endpoint : endpoints)
            endpoint.lineBaudRate = lineBaudRate;
        relay = std::make_unique<RelayUnderTest>(
            kind, paths, endpoints, std::vector<OperatorAccount>{Lead, Crew}, LockTimeSecs, extras);
    }

    ~Rig()
    {
        links.clear();
        relay.reset();
        farm.reset();
    }

    // The service connects to every camera as it starts; a plain relay
    // connects for each operator that connects to it.
    std::string AwaitCameras()
    {
        if (kind != RelayKind::Service ||
            RunUntil(
                io, [&] { return farm->CamerasConnected() == cameraCount; }, seconds(15)))
            return {};
        return "the service connected to " + Count(farm->CamerasConnected(), cameraCount) +
               " cameras\n" + relay->Diagnosis();
    }

    // A session of the ledger with the operator link that sends its frames
    // (the two share an index).
    std::uint16_t AddSession(std::uint8_t camera, std::size_t frames,
                             const OperatorAccount& account, bool expectDelivery)
    {
        const std::uint16_t session = ledger.AddSession(camera, frames);
        ledger.ExpectDelivery(session, expectDelivery);
        AddLink(account);
        return session;
    }

    OperatorLink& AddLink(const OperatorAccount& account)
    {
        const auto protocol =
            kind == RelayKind::Service ? OperatorDialect::Service : OperatorDialect::Raw;
        links.push_back(std::make_unique<OperatorLink>(io, relay->OperatorEndpoint(), protocol,
                                                       account.name, account.password));
        return *links.back();
    }

    // Connects and logs in links[first..].
    std::string Connect(std::size_t first, Clock::duration timeout)
    {
        const std::size_t ready = ConnectAll(io, links, first, ParallelHandshakes, timeout);
        const std::size_t wanted = links.size() - first;
        if (ready == wanted)
            return {};
        std::string why = "timed out";
        for (std::size_t i = first; i < links.size(); ++i)
            if (links[i]->Failed()) {
                why = links[i]->Problem();
                break;
            }
        return Count(ready, wanted) + " sessions logged in (" + why + ")\n" + relay->Diagnosis();
    }

    void SendFrame(std::uint16_t session, std::uint16_t sequence, bool measured)
    {
        const BenchFrame::Bytes frame = ledger.Frame(session, sequence);
        ledger.RecordSend(session, sequence, WallNanos(), measured);
        if (!links[session]->Send(frame.data(), frame.size()))
            ++unsent;
    }

    // Runs in slices, for conditions too costly to test after every handler.
    bool AwaitCondition(const std::function<bool()>& done, Clock::duration timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() >= deadline)
                return false;
            RunFor(io, milliseconds(10));
        }
        return true;
    }

    // The relay's CPU time counts from here to Finish.
    void StartCpuClock() { cpuAtStart = relay->CpuNanos(); }

    void Finish(ScenarioResult& result)
    {
        if (cpuAtStart >= 0)
            result.relayCpuNanos = relay->CpuNanos() - cpuAtStart;
        result.frames = ledger.Tally();
        result.latency = Summarise(ledger.Latencies());
        result.garbled = farm->Garbled();
        result.unsent = unsent;
        std::size_t lost = 0;
        std::string why;
        for (const auto& link : links)
            if (link->Failed()) {
                ++lost;
                why = link->Problem();
            }
        if (lost > 0 && result.problem.empty())
            result.problem =
                Count(lost, links.size()) + " sessions lost (" + why + ")\n" + relay->Diagnosis();
        if (!relay->Running() && result.problem.empty())
            result.problem =
                std::string(RelayName(kind)) + " ended during the run\n" + relay->Diagnosis();
    }

    const RelayKind kind;
    const std::size_t cameraCount;
    boost::asio::io_context io{1};
    FrameLedger ledger;
    std::unique_ptr<CameraFarm> farm;
    std::unique_ptr<RelayUnderTest> relay;
    OperatorLinks links;
    std::size_t unsent = 0;
    std::int64_t cpuAtStart = -1;
};

// Sends measured frames 1..frames for each of its sessions at a fixed rate,
// on a schedule that does not wait for the relay; the sessions' phases are
// spread evenly over one period.
class PacedSender
{
public:
    PacedSender(Rig& rig, const std::vector<std::uint16_t>& sessions, double rate,
                std::size_t frames)
        : rig(rig), period(1.0 / rate), frames(frames)
    {
        for (std::uint16_t session : sessions)
            lanes.push_back(std::make_unique<Lane>(rig.io, session));
    }

    void Start(Clock::time_point start)
    {
        for (std::size_t i = 0; i < lanes.size(); ++i) {
            lanes[i]->first =
                start + std::chrono::duration_cast<Clock::duration>(
                            period * static_cast<double>(i) / static_cast<double>(lanes.size()));
            Schedule(*lanes[i]);
        }
    }

    bool Done() const { return finished == lanes.size(); }

private:
    struct Lane
    {
        Lane(boost::asio::io_context& io, std::uint16_t session) : timer(io), session(session) {}
        boost::asio::steady_timer timer;
        std::uint16_t session;
        std::uint16_t next = 1;
        Clock::time_point first;
    };

    void Schedule(Lane& lane)
    {
        lane.timer.expires_at(lane.first + std::chrono::duration_cast<Clock::duration>(
                                               period * static_cast<double>(lane.next - 1)));
        lane.timer.async_wait([this, &lane](const error_code& error) {
            if (error)
                return;
            rig.SendFrame(lane.session, lane.next, true);
            if (lane.next >= frames) {
                ++finished;
                return;
            }
            ++lane.next;
            Schedule(lane);
        });
    }

    Rig& rig;
    std::chrono::duration<double> period;
    std::size_t frames;
    std::vector<std::unique_ptr<Lane>> lanes;
    std::size_t finished = 0;
};

template <typename Scenario>
ScenarioResult Guarded(Scenario scenario)
{
    ScenarioResult result;
    try {
        scenario(result);
    } catch (const std::exception& error) {
        result.problem = error.what();
    }
    return result;
}

} // namespace

ScenarioResult RunClosedLoop(const BenchPaths& paths, RelayKind kind, const ClosedLoopPlan& plan)
{
    return ClosedLoop(paths, kind, plan, {}, false);
}

ScenarioResult RunDirectoryLogins(const BenchPaths& paths, const ClosedLoopPlan& plan,
                                  bool withLogins)
{
    const DirectoryAccounts accounts;
    if (!accounts.problem.empty()) {
        ScenarioResult result;
        result.problem = accounts.problem;
        return result;
    }
    return ClosedLoop(paths, RelayKind::Service, plan, accounts.extras, withLogins);
}

namespace {

ScenarioResult ClosedLoop(const BenchPaths& paths, RelayKind kind, const ClosedLoopPlan& plan,
                          const ServiceExtras& extras, bool directoryLogins)
{
    return Guarded([&](ScenarioResult& result) {
        Rig rig(kind, paths, 1, extras);
        const std::size_t total = plan.warmUp + plan.frames;
        rig.AddSession(1, total, Lead, true);
        if (!(result.problem = rig.AwaitCameras()).empty() ||
            !(result.problem = rig.Connect(0, seconds(15))).empty())
            return;
        // A directory account logs in ten times a second beside the frames.
        std::unique_ptr<LoginProbe> directory;
        if (directoryLogins) {
            directory = std::make_unique<LoginProbe>(
                rig.io, rig.relay->OperatorEndpoint(), "127.0.5.1",
                OperatorProtocol::LoginMessage(DirectoryAccounts::Name, DirectoryAccounts::Password),
                milliseconds(100));
            directory->Start();
            RunFor(rig.io, milliseconds(300));
        }

        std::size_t next = 0;
        bool finished = false;
        // A frame that never arrives must not stop the loop: after a second
        // it counts as lost and the next goes.
        boost::asio::steady_timer stall(rig.io);
        std::function<void()> advance = [&] {
            if (next >= total) {
                finished = true;
                return;
            }
            const auto sequence = static_cast<std::uint16_t>(next++);
            if (sequence == plan.warmUp)
                rig.StartCpuClock();
            rig.SendFrame(0, sequence, sequence >= plan.warmUp);
            stall.expires_after(seconds(1));
            stall.async_wait([&, sequence](const error_code& error) {
                if (!error && next == sequence + 1u)
                    advance();
            });
        };
        rig.ledger.onArrival = [&](const BenchFrame::Tag& tag) {
            if (tag.session == 0 && tag.sequence + 1u == next)
                advance();
        };
        advance();
        if (!RunUntil(
                rig.io, [&] { return finished; }, seconds(60)))
            result.problem = "timed out after " + Count(next, total) + " frames";
        stall.cancel();
        rig.ledger.onArrival = nullptr;
        rig.Finish(result);
        if (directory) {
            result.probeTries = directory->Tries();
            result.probeLogins = directory->LoggedIn();
            result.probeSlowestNanos =
                std::chrono::duration_cast<std::chrono::nanoseconds>(directory->Slowest()).count();
        }
    });
}

} // namespace

namespace {

// What runs beside an open loop, and what it measures.
struct Disturbance
{
    ServiceExtras extras;
    bool polled = false;
    bool reloading = false; // a reload asked for every second
    const AttackPlan* attack = nullptr; // the attacks that run, if any
    bool noticeLatency = false;         // to the sender's notice, not the camera
};

// Asks the service for a reload every period, from when it starts.
class PeriodicReload
{
public:
    PeriodicReload(boost::asio::io_context& io, RelayUnderTest& relay, Clock::duration period)
        : timer(io), relay(relay), period(period)
    {}

    void Start() { Wait(); }
    void Stop() { timer.cancel(); }
    std::size_t Asked() const { return asked; }

private:
    void Wait()
    {
        timer.expires_after(period);
        timer.async_wait([this](const boost::system::error_code& error) {
            if (error)
                return;
            relay.AskForReload();
            ++asked;
            Wait();
        });
    }

    boost::asio::steady_timer timer;
    RelayUnderTest& relay;
    Clock::duration period;
    std::size_t asked = 0;
};

// The k-th notice a session gets after recording starts tells of its k-th
// measured frame (1 to frames).
void MeasureNotices(Rig& rig, const std::vector<std::uint16_t>& sessions, std::size_t frames,
                    ScenarioResult& result)
{
    std::vector<std::int64_t> latencies;
    for (std::uint16_t session : sessions) {
        const auto& times = rig.links[session]->NoticeTimes();
        const std::size_t matched = std::min(times.size(), frames);
        for (std::size_t k = 0; k < matched; ++k)
            latencies.push_back(times[k] -
                                rig.ledger.SendTime(session, static_cast<std::uint16_t>(k + 1)));
        result.noticesReceived += matched;
        result.noticesExtra += times.size() - matched;
        if (matched == frames)
            ++result.sessionsComplete;
    }
    result.noticeSessions = sessions.size();
    result.noticesExpected = sessions.size() * frames;
    result.latency = Summarise(std::move(latencies));
}

ScenarioResult OpenLoop(const BenchPaths& paths, RelayKind kind, const OpenLoopPlan& plan,
                        const Disturbance& disturbance)
{
    return Guarded([&](ScenarioResult& result) {
        Rig rig(kind, paths, plan.sessions / plan.perCamera, disturbance.extras);
        const auto frames = static_cast<std::size_t>(std::llround(plan.rate * plan.seconds));
        std::vector<std::uint16_t> sessions, leads;
        for (std::size_t i = 0; i < plan.sessions; ++i) {
            const auto camera = static_cast<std::uint8_t>(i / plan.perCamera + 1);
            const bool lead = i % plan.perCamera == 0;
            // The service refuses the frames of a camera's other sessions by
            // design; a plain relay delivers them.
            sessions.push_back(rig.AddSession(camera, frames + 1, lead ? Lead : Crew,
                                              lead || kind != RelayKind::Service));
            if (lead)
                leads.push_back(sessions.back());
        }
        if (!(result.problem = rig.AwaitCameras()).empty() ||
            !(result.problem = rig.Connect(0, seconds(60))).empty())
            return;

        // Each camera's holder takes it first, so that the others of its
        // group are refused from their first frame on.
        for (std::uint16_t lead : leads)
            rig.SendFrame(lead, 0, false);
        const bool held = rig.AwaitCondition(
            [&] {
                for (std::uint16_t lead : leads)
                    if (!rig.ledger.Arrived(lead, 0) ||
                        (kind == RelayKind::Service && rig.links[lead]->Notices() == 0))
                        return false;
                return true;
            },
            seconds(15));
        if (!held) {
            result.problem = "the holders did not get their cameras\n" + rig.relay->Diagnosis();
            return;
        }

        if (disturbance.noticeLatency)
            for (const auto& link : rig.links)
                link->RecordNotices();

        std::unique_ptr<StatusPoller> poller;
        if (disturbance.polled) {
            poller = std::make_unique<StatusPoller>(rig.io, rig.relay->StatusEndpoint(),
                                                    milliseconds(100));
            poller->Start();
        }
        std::unique_ptr<LoginFlood> guesser, insider;
        std::unique_ptr<IdleHolders> holders, flood;
        std::unique_ptr<LoginProbe> workstation;
        if (const AttackPlan* attack = disturbance.attack) {
            const auto endpoint = rig.relay->OperatorEndpoint();
            guesser = std::make_unique<LoginFlood>(
                rig.io, endpoint, "127.0.2.1", attack->loginConnections,
                std::vector<std::string>{OperatorProtocol::LoginMessage(
                    std::string(attack->loginNameBytes, 'x'), "wrong")});
            // Logs in as one of the crew, then guesses the lead's password.
            std::vector<std::string> insiderLogins = {
                OperatorProtocol::LoginMessage(Crew.name, Crew.password)};
            for (std::size_t i = 0; i < attack->insiderGuesses; ++i)
                insiderLogins.push_back(
                    OperatorProtocol::LoginMessage(Lead.name, "guess" + std::to_string(i)));
            insider = std::make_unique<LoginFlood>(rig.io, endpoint, "127.0.2.2", 1,
                                                   std::move(insiderLogins));
            std::vector<std::string> addresses;
            for (std::size_t i = 1; i <= attack->statusAddresses; ++i)
                addresses.push_back("127.0.3." + std::to_string(i));
            holders = std::make_unique<IdleHolders>(rig.io, rig.relay->StatusEndpoint(), addresses,
                                                    attack->statusPerAddress, milliseconds(100));
            flood = std::make_unique<IdleHolders>(
                rig.io, endpoint, std::vector<std::string>{"127.0.4.1"},
                attack->idleOperatorConnections, milliseconds(100));
            workstation = std::make_unique<LoginProbe>(
                rig.io, endpoint, "127.0.5.1",
                OperatorProtocol::LoginMessage(Crew.name, Crew.password), milliseconds(250));
            guesser->Start();
            insider->Start();
            holders->Start();
            flood->Start();
            // The guessers past their first answers, every status place and
            // every operator place taken.
            RunFor(rig.io, milliseconds(500));
            workstation->Start();
        }
        PacedSender sender(rig, sessions, plan.rate, frames);
        std::unique_ptr<PeriodicReload> reloads;
        if (disturbance.reloading) {
            reloads = std::make_unique<PeriodicReload>(rig.io, *rig.relay, seconds(1));
            reloads->Start();
        }
        rig.StartCpuClock();
        sender.Start(Clock::now() + milliseconds(20));
        const auto planned = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(plan.seconds));
        if (!RunUntil(
                rig.io, [&] { return sender.Done(); }, planned + seconds(15)))
            result.problem = "the bench could not keep its schedule";
        // Let the last frames arrive, and any wrongly admitted ones show up.
        if (reloads)
            reloads->Stop();
        RunUntil(
            rig.io, [&] { return rig.ledger.ExpectedAllArrived(); }, seconds(3));
        RunFor(rig.io, milliseconds(100));
        rig.Finish(result);
        if (reloads) {
            result.reloadsAsked = reloads->Asked();
            // Requests that came during a reload may have been merged into one.
            RunUntil(
                rig.io, [&] { return rig.relay->ReloadsDone() >= reloads->Asked(); }, seconds(5));
            result.reloadsDone = rig.relay->ReloadsDone();
        }
        if (disturbance.noticeLatency)
            MeasureNotices(rig, leads, frames, result);
        if (poller) {
            result.statusAnswers = poller->Answered();
            result.statusFailures = poller->Failed();
        }
        if (guesser) {
            result.guessesAnswered = guesser->Answered();
            result.insiderGuessesAnswered = insider->Answered();
            result.idleClosed = holders->Closed();
            result.floodClosed = flood->Closed();
            result.probeTries = workstation->Tries();
            result.probeLogins = workstation->LoggedIn();
            result.probeSlowestNanos =
                std::chrono::duration_cast<std::chrono::nanoseconds>(workstation->Slowest())
                    .count();
        }
    });
}

} // namespace

ScenarioResult RunOpenLoop(const BenchPaths& paths, RelayKind kind, const OpenLoopPlan& plan,
                           bool polled)
{
    Disturbance disturbance;
    disturbance.extras.statusServer = polled;
    disturbance.polled = polled;
    return OpenLoop(paths, kind, plan, disturbance);
}

ScenarioResult RunReloading(const BenchPaths& paths, const OpenLoopPlan& plan, bool reloading)
{
    Disturbance disturbance;
    disturbance.reloading = reloading;
    return OpenLoop(paths, RelayKind::Service, plan, disturbance);
}

ScenarioResult RunUnderAttack(const BenchPaths& paths, const OpenLoopPlan& plan,
                              const AttackPlan& attack, bool attacked)
{
    Disturbance disturbance;
    disturbance.extras.statusServer = true;
    disturbance.extras.maxSessions = attack.maxSessions;
    disturbance.extras.audit =
        attacked && attack.auditFifo ? ServiceExtras::Audit::Fifo : ServiceExtras::Audit::File;
    disturbance.polled = attacked;
    disturbance.attack = attacked ? &attack : nullptr;
    disturbance.noticeLatency = true;
    return OpenLoop(paths, RelayKind::Service, plan, disturbance);
}

ScenarioResult RunFanOut(const BenchPaths& paths, const FanOutPlan& plan)
{
    return Guarded([&](ScenarioResult& result) {
        Rig rig(RelayKind::Service, paths, 1);
        const std::uint16_t steerer = rig.AddSession(1, plan.frames + 1, Lead, true);
        if (!(result.problem = rig.AwaitCameras()).empty() ||
            !(result.problem = rig.Connect(0, seconds(15))).empty())
            return;
        rig.SendFrame(steerer, 0, false);
        if (!RunUntil(
                rig.io,
                [&] { return rig.ledger.Arrived(steerer, 0) && rig.links[steerer]->Notices() > 0; },
                seconds(10))) {
            result.problem =
                "the steering session did not get the camera\n" + rig.relay->Diagnosis();
            return;
        }

        // The watchers' one frame each is refused (the steerer holds the
        // camera with a higher priority), but makes the camera theirs.
        std::vector<std::uint16_t> watchers;
        for (std::size_t i = 0; i < plan.watchers; ++i)
            watchers.push_back(rig.AddSession(1, 1, Crew, false));
        if (!(result.problem = rig.Connect(1, seconds(60))).empty())
            return;
        for (std::uint16_t watcher : watchers)
            rig.SendFrame(watcher, 0, false);
        const auto allSelected = [&] {
            for (std::uint16_t watcher : watchers)
                if (!rig.links[watcher]->CameraSelected())
                    return false;
            return true;
        };
        if (!rig.AwaitCondition(allSelected, seconds(30))) {
            result.problem = "not every watcher got the camera\n" + rig.relay->Diagnosis();
            return;
        }
        RunFor(rig.io, milliseconds(100));
        for (const auto& link : rig.links)
            link->RecordNotices();

        PacedSender sender(rig, {steerer}, plan.rate, plan.frames);
        rig.StartCpuClock();
        sender.Start(Clock::now() + milliseconds(20));
        const auto planned = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(plan.frames) / plan.rate));
        if (!RunUntil(
                rig.io, [&] { return sender.Done(); }, planned + seconds(15)))
            result.problem = "the bench could not keep its schedule";
        rig.AwaitCondition(
            [&] {
                for (const auto& link : rig.links)
                    if (link->NoticeTimes().size() < plan.frames)
                        return false;
                return true;
            },
            seconds(5));

        // The k-th notice a session gets tells of the k-th frame delivered.
        // (A service that falls 20 ms behind reads two frames in one receive,
        // writes them as one command and sends one notice for both: the
        // count comes up short, and the pairing, hence the latency, errs on
        // the slow side. A service that keeps up never does.)
        std::vector<std::int64_t> latencies;
        for (const auto& link : rig.links) {
            const auto& times = link->NoticeTimes();
            const std::size_t matched = std::min(times.size(), plan.frames);
            for (std::size_t k = 0; k < matched; ++k) {
                const auto frame = static_cast<std::uint16_t>(k + 1);
                latencies.push_back(times[k] - rig.ledger.SendTime(steerer, frame));
            }
            result.noticesReceived += matched;
            result.noticesExtra += times.size() - matched;
            if (matched == plan.frames)
                ++result.sessionsComplete;
        }
        result.noticeSessions = rig.links.size();
        result.noticesExpected = rig.links.size() * plan.frames;
        rig.Finish(result);
        result.latency = Summarise(std::move(latencies));
    });
}

// Each rate on a service and camera of its own, so that nothing one leaves
// on the line delays the next. The session takes the camera with a frame
// that is not measured, then steers at the rate for the plan's seconds; the
// run waits for its last frame, which the service never drops.
ScenarioResult RunSlowLine(const BenchPaths& paths, RelayKind kind, const SlowLinePlan& plan)
{
    return Guarded([&](ScenarioResult& result) {
        for (const double rate : plan.rates) {
            Rig rig(kind, paths, 1, {}, plan.bytesPerSecond, plan.baudRate);
            const auto frames = static_cast<std::uint16_t>(std::llround(rate * plan.seconds));
            const std::uint16_t session = rig.AddSession(1, frames + 1u, Lead, true);
            if (!(result.problem = rig.AwaitCameras()).empty() ||
                !(result.problem = rig.Connect(0, seconds(15))).empty())
                return;
            rig.SendFrame(session, 0, false);
            if (!RunUntil(
                    rig.io, [&] { return rig.ledger.Arrived(session, 0); }, seconds(10))) {
                result.problem = "the session did not get the camera\n" + rig.relay->Diagnosis();
                return;
            }

            PacedSender sender(rig, {session}, rate, frames);
            sender.Start(Clock::now() + milliseconds(20));
            const auto planned = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(plan.seconds));
            if (!RunUntil(
                    rig.io, [&] { return sender.Done(); }, planned + seconds(15))) {
                result.problem = "the bench could not keep its schedule";
                return;
            }
            // A relay that keeps every frame needs as long as the line does.
            const auto lineTime = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(frames * BenchFrame::Length / plan.bytesPerSecond));
            if (!RunUntil(
                    rig.io, [&] { return rig.ledger.Arrived(session, frames); },
                    lineTime + seconds(10))) {
                result.problem =
                    "the operator's last frame never reached the camera\n" + rig.relay->Diagnosis();
                return;
            }
            ScenarioResult part;
            rig.Finish(part);
            if (!part.problem.empty()) {
                result.problem = part.problem;
                return;
            }
            ScenarioResult::SlowLineRate figures;
            figures.rate = rate;
            figures.fitsLine = rate * BenchFrame::Length <= plan.bytesPerSecond;
            figures.sent = part.frames.sent;
            figures.delivered = part.frames.delivered;
            figures.lagNanos = rig.ledger.LastArrival() - rig.ledger.SendTime(session, frames);
            result.slowLine.push_back(figures);
            // Frames the line could not carry in time are dropped by design.
            part.frames.lost = 0;
            result.frames.sent += part.frames.sent;
            result.frames.delivered += part.frames.delivered;
            result.frames.duplicates += part.frames.duplicates;
            result.frames.misrouted += part.frames.misrouted;
            result.frames.strays += part.frames.strays;
            result.garbled += part.garbled;
            result.unsent += part.unsent;
        }
    });
}

ScenarioResult RunIdle(const BenchPaths& paths, const IdlePlan& plan)
{
    return Guarded([&](ScenarioResult& result) {
        Rig rig(RelayKind::Service, paths, 1);
        if (!(result.problem = rig.AwaitCameras()).empty())
            return;
        RunFor(rig.io, milliseconds(200));
        result.idleResidentKb = rig.relay->ResidentKilobytes();

        result.sessionsWanted = plan.sessions;
        for (std::size_t i = 0; i < plan.sessions; ++i)
            rig.AddLink(Crew);
        const auto start = Clock::now();
        result.problem = rig.Connect(0, seconds(120));
        result.loginSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        for (const auto& link : rig.links)
            if (link->Ready())
                ++result.sessionsReady;
        // Let the service finish what the last logins started.
        RunFor(rig.io, milliseconds(500));
        result.residentKb = rig.relay->ResidentKilobytes();
        if (result.problem.empty())
            rig.Finish(result);
    });
}

} // namespace korvel
