// korvelsoak: the release build of the service run for a set time against
// operators, cameras and an NVR that misbehave at random, with every frame
// and notice accounted for and the process watched for growth.
//
//   korvelsoak [--service PATH] [--nvrsim PATH] [--minutes N] [--seed N]
//              [--out FILE]
//
// The run is cut into rounds. Within a round operators connect, steer
// cameras, log in (now and then wrongly), choose and cancel; cameras drop
// their connections and refuse new ones; the NVR fires soft triggers and is
// restarted; reloads add and remove cameras and users; the status server is
// asked for /status and /metrics. A round ends at a quiet point: nothing more
// is sent, every camera listens again, holds lapse, the service's counters
// stop moving, and each operator's LOGIN is answered (its answer comes after
// every notice queued for it before). There the round's books are closed
// (SoakLedger): each frame sent is in exactly one outcome the service
// counted; each frame it counted written arrived at its camera once, in
// order and on no later connection; and the notices it counted queued are
// the notices the operators received. Operators leave, and users are
// removed, only at quiet points, once the books are closed.
//
// Prints a line a minute and a summary; writes them to FILE when given.
// Exits 1 when anything admitted went astray, the books did not balance,
// the service stopped, or memory, descriptors or threads grew beyond 2%
// from the second minute to the last.

#include "ChildProcess.h"
#include "Clock.h"
#include "RelayUnderTest.h"
#include "SoakCamera.h"
#include "SoakLedger.h"
#include "SoakOperator.h"

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace korvel {

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using boost::asio::ip::tcp;

// Set by SIGINT or SIGTERM: the run ends at the next quiet point, with its
// figures, and takes its processes and folder with it.
volatile std::sig_atomic_t stopAsked = 0;

struct Options
{
    std::string service = KORVELSOAK_SERVICE;
    std::string nvrsim = KORVELSOAK_NVRSIM;
    double minutes = 10;
    unsigned seed = 0;
    std::string out;
};

bool Parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : std::string();
        if (option == "--service")
            options.service = value;
        else if (option == "--nvrsim")
            options.nvrsim = value;
        else if (option == "--minutes")
            options.minutes = std::atof(value.c_str());
        else if (option == "--seed")
            options.seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (option == "--out")
            options.out = value;
        else
            return false;
        ++i;
    }
    return options.minutes > 0;
}

// One request on a connection of its own, answered to its end: the whole
// answer, or empty when the peer could not be reached or did not answer
// within a few seconds. Used at quiet points and for the status requests,
// where a short blocking call holds nothing up.
std::string Exchange(unsigned short port, const std::string& request, const std::string& until = {})
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return {};
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[16384];
        for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            answer.append(buffer, static_cast<std::size_t>(got));
            if (!until.empty() && answer.find(until) != std::string::npos)
                break;
        }
    }
    close(fd);
    return answer;
}

std::string HttpGet(unsigned short port, const std::string& target)
{
    const std::string answer = Exchange(
        port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return answer.rfind("HTTP/1.1 200", 0) == 0 ? answer : std::string();
}

std::string Now()
{
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
    return text;
}

// Resident memory, threads and descriptors of the service; the descriptors
// less its TCP connections, counted apart: those accepted on its own ports
// (operators, status requests), those to the peers' (cameras, the NVR), and
// those a peer reset, all of which come and go with the links.
ProcessGauge Gauge(pid_t pid, const std::set<unsigned short>& ownPorts,
                   const std::set<unsigned short>& peerPorts)
{
    ProcessGauge gauge;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            gauge.residentKilobytes = std::stoul(line.substr(6));
        if (line.rfind("Threads:", 0) == 0)
            gauge.threads = std::stoul(line.substr(8));
    }
    // inode -> local and remote port of every IPv4 TCP socket.
    std::map<std::string, std::pair<unsigned, unsigned>> ports;
    std::ifstream tcpTable(proc + "/net/tcp");
    std::string line;
    std::getline(tcpTable, line);
    while (std::getline(tcpTable, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        const auto port = [](const std::string& endpoint) {
            const std::size_t colon = endpoint.find(':');
            return colon == std::string::npos ? 0u : unsigned(std::stoul(endpoint.substr(colon + 1), nullptr, 16));
        };
        ports[inode] = {port(local), port(remote)};
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
        bool connection = false;
        if (target.rfind("socket:[", 0) == 0) {
            // A socket the table no longer has is a connection its peer
            // reset (a camera that dropped it), kept until the service's
            // next write to it fails.
            const auto found = ports.find(target.substr(8, target.size() - 9));
            connection = found == ports.end();
            if (found != ports.end())
                connection =
                    (ownPorts.count(static_cast<unsigned short>(found->second.first)) > 0 &&
                     found->second.second != 0) ||
                    peerPorts.count(static_cast<unsigned short>(found->second.second)) > 0;
        }
        ++(connection ? gauge.connections : gauge.descriptors);
    }
    return gauge;
}

// Operators at the start of every round, and when the process is measured.
constexpr std::size_t BaseOperators = 12;

struct User
{
    std::string name;
    std::string password;
    int priority;
    bool configured; // in the file
    bool usable;     // in the file that the service last read
    bool permanent;
    std::deque<Steady::time_point> failures; // wrong logins within the last minute
};

struct Operator
{
    std::unique_ptr<SoakOperator> link;
    int user = -1; // index into the users; -1: not logged in
    std::uint8_t favourite = 1;
};

class Soak
{
public:
    explicit Soak(const Options& options)
        : options(options), random(options.seed), directory(MakeDirectory())
    {
    }
    ~Soak()
    {
        operators.clear();
        cameras.clear();
        nvr.reset();
        service.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    int Run();

private:
    static std::string MakeDirectory()
    {
        std::string pattern = "/tmp/korvelsoak.XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a folder under /tmp");
        return pattern + "/";
    }

    bool Chance(double probability) { return std::bernoulli_distribution(probability)(random); }
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    std::int64_t Ms(Steady::time_point from) const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - from).count();
    }

    void Say(const std::string& line)
    {
        std::cout << line << std::endl;
        lines.push_back(line);
    }
    void Fault(const std::string& what)
    {
        ++faults;
        Say("FAULT: " + what);
    }

    void WriteConfiguration();
    void Reload();
    bool StartService();
    bool StartNvr();
    void TellNvr(const std::string& command);
    // Runs the loop for a while, then returns.
    void Pump(std::chrono::milliseconds period);
    // Runs the loop until `done` holds or the timeout passes.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    bool ReadCounters(ServiceCounters& counters);
    std::size_t SessionsOpen();
    bool ReloadsDone();

    void Act();
    void OperatorActs(Operator& op);
    void Connect();
    bool QuietPoint(ServiceCounters& counters);
    void Boundary();
    void Report(int minute, const RoundTally& tally, const ProcessGauge& gauge);

    Options options;
    std::mt19937 random;
    std::string directory;
    boost::asio::io_context io;
    SoakLedger ledger;
    std::unique_ptr<ChildProcess> service;
    std::unique_ptr<ChildProcess> nvr;
    unsigned short operatorPort = 0;
    unsigned short statusPort = 0;
    unsigned short nvrPort = 0;
    unsigned short nvrControlPort = 0;
    std::vector<std::unique_ptr<SoakCamera>> cameras; // all there may be, numbers 1..
    std::vector<bool> configured;                      // by index into cameras
    std::vector<User> users;
    std::vector<Operator> operators;
    std::uint16_t nextOperator = 0;
    std::size_t reloadsAsked = 0;
    std::size_t faults = 0;
    std::size_t statusAnswered = 0;
    std::size_t statusFailed = 0;
    std::size_t triggersFired = 0;
    std::size_t nvrRestarts = 0;
    std::size_t drops = 0;
    std::size_t refusals = 0;
    std::size_t connects = 0;
    std::size_t disconnects = 0;
    std::size_t wrongLogins = 0;
    std::size_t usersRemoved = 0;
    std::size_t camerasToggled = 0;
    std::size_t rounds = 0;
    std::vector<std::string> lines;
};

void Soak::WriteConfiguration()
{
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tlKorvel>\n"
        << "  <Options RetryIntervalSecs=\"1\" ClientAddress=\"127.0.0.1\" ClientPort=\""
        << operatorPort << "\" StatusPort=\"" << statusPort << "\"/>\n"
        << "  <KorvelControl LockTime=\"1\">\n";
    for (const User& user : users)
        if (user.configured)
            xml << "    <User Name=\"" << user.name << "\" Password=\"" << user.password
                << "\" Priority=\"" << user.priority << "\"/>\n";
    xml << "  </KorvelControl>\n  <NVR Address=\"127.0.0.1\" Port=\"" << nvrPort
        << "\" Login=\"soak\" Password=\"soak\">\n";
    for (std::size_t i = 0; i < cameras.size(); ++i)
        if (configured[i])
            xml << "    <Camera Address=\"" << cameras[i]->Address() << "\" Port=\""
                << cameras[i]->Port() << "\" PelcoNumber=\"" << int(cameras[i]->Number())
                << "\"/>\n";
    xml << "  </NVR>\n</tlKorvel>\n";
    const std::string path = directory + "tlKorvel.xml";
    std::ofstream(path + ".tmp") << xml.str();
    std::filesystem::rename(path + ".tmp", path);
}

void Soak::Reload()
{
    WriteConfiguration();
    ++reloadsAsked;
    kill(service->Pid(), SIGHUP);
}

bool Soak::ReloadsDone()
{
    const std::string metrics = HttpGet(statusPort, "/metrics");
    std::size_t done = 0;
    for (const char* result : {"applied", "partial", "refused"}) {
        const std::string head = std::string("tlkorvel_config_reloads_total{result=\"") + result + "\"} ";
        const std::size_t at = metrics.find(head);
        if (at != std::string::npos)
            done += std::stoul(metrics.substr(at + head.size()));
    }
    return done >= reloadsAsked;
}

bool Soak::StartService()
{
    const std::string program = directory + "tlKorvel";
    std::filesystem::copy_file(options.service, program);
    WriteConfiguration();
    service = std::make_unique<ChildProcess>(std::vector<std::string>{program, "-d"},
                                             directory + "output.txt");
    const auto deadline = Steady::now() + 20s;
    while (Steady::now() < deadline) {
        if (!HttpGet(statusPort, "/metrics").empty())
            return true;
        if (!service->Running())
            return false;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

bool Soak::StartNvr()
{
    // Its account and cameras on its standard input, which it reads as it
    // starts: from the control port they would come after it listens, and
    // the service, trying again every second, might log in before and be
    // refused for good.
    const std::string setup = directory + "nvrsim-setup.txt";
    {
        std::ofstream lines(setup);
        lines << "user soak soak\n";
        for (const auto& camera : cameras)
            lines << "camera " << int(camera->Number()) << " " << camera->Address() << " cam"
                  << int(camera->Number()) << "\n";
    }
    nvr = std::make_unique<ChildProcess>(
        std::vector<std::string>{options.nvrsim, "--listen", "127.0.0.1:" + std::to_string(nvrPort),
                                 "--control", "127.0.0.1:" + std::to_string(nvrControlPort)},
        directory + "nvrsim.txt", std::vector<int>{}, setup);
    const auto deadline = Steady::now() + 10s;
    while (Steady::now() < deadline) {
        if (Exchange(nvrControlPort, "help\n", "ok\n").find("ok\n") != std::string::npos)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void Soak::TellNvr(const std::string& command)
{
    Exchange(nvrControlPort, command + "\n", "\n");
}

void Soak::Pump(std::chrono::milliseconds period)
{
    if (io.stopped())
        io.restart();
    io.run_for(period);
}

bool Soak::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Steady::now() + timeout;
    while (!done()) {
        if (Steady::now() >= deadline)
            return false;
        Pump(20ms);
    }
    return true;
}

std::size_t Soak::SessionsOpen()
{
    const std::string metrics = HttpGet(statusPort, "/metrics");
    const std::string head = "\ntlkorvel_sessions_open ";
    const std::size_t at = metrics.find(head);
    return at == std::string::npos ? std::size_t(-1) : std::stoul(metrics.substr(at + head.size()));
}

bool Soak::ReadCounters(ServiceCounters& counters)
{
    return ParseServiceCounters(HttpGet(statusPort, "/metrics"), counters);
}

void Soak::Connect()
{
    Operator op;
    op.link = std::make_unique<SoakOperator>(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), operatorPort),
                                             nextOperator++);
    op.favourite = cameras[static_cast<std::size_t>(Pick(0, int(cameras.size()) - 1))]->Number();
    operators.push_back(std::move(op));
    ++connects;
}

void Soak::OperatorActs(Operator& op)
{
    SoakOperator& link = *op.link;
    const std::int64_t now = WallNanos();
    const int roll = Pick(0, 99);
    if (roll < 82) {
        std::uint8_t camera = op.favourite;
        if (roll >= 60)
            camera = cameras[static_cast<std::size_t>(Pick(0, int(cameras.size()) - 1))]->Number();
        // Mostly a camera the service has, sometimes one a reload took away.
        if (roll >= 40 && !configured[camera - 1u] && Chance(0.8))
            camera = cameras[static_cast<std::size_t>(Pick(0, 3))]->Number();
        if (roll == 81)
            camera = 200; // no camera has it
        const BenchFrame::Bytes frame = ledger.Send(link.Index(), camera, now);
        link.Send(frame.data(), frame.size(), now);
        return;
    }
    if (roll < 88)
        return void(link.Send("CHOOSE", 6, now));
    if (roll < 92)
        return void(link.Send("CANCEL", 6, now));
    // A login, right or (within the failed-login throttle's free five a
    // minute) wrong.
    const int index = Pick(0, int(users.size()) - 1);
    User& user = users[static_cast<std::size_t>(index)];
    if (!user.usable)
        return;
    while (!user.failures.empty() && Steady::now() - user.failures.front() > 70s)
        user.failures.pop_front();
    if (roll < 96 && user.failures.size() < 4) {
        user.failures.push_back(Steady::now());
        ++wrongLogins;
        link.Login(user.name, "wrong", now);
        return;
    }
    if (link.Login(user.name, user.password, now))
        op.user = index;
}

// The operator connections whose every byte the service has read: nothing
// unacknowledged on the operator's side, nothing unread on the service's
// (/proc/net/tcp), by the operator's port. A message sent on one of them
// is one receive of its own, however late the service gets to read it.
std::set<unsigned short> ReadToTheEnd(unsigned short operatorPort)
{
    std::map<unsigned short, bool> operatorSide, serviceSide; // true: empty queue
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto port = [](const std::string& endpoint) {
            const std::size_t colon = endpoint.find(':');
            return colon == std::string::npos
                       ? static_cast<unsigned short>(0)
                       : static_cast<unsigned short>(std::stoul(endpoint.substr(colon + 1), nullptr, 16));
        };
        const std::size_t colon = queues.find(':');
        if (state != "01" || colon == std::string::npos) // established only
            continue;
        const unsigned long unsent = std::stoul(queues.substr(0, colon), nullptr, 16);
        const unsigned long unread = std::stoul(queues.substr(colon + 1), nullptr, 16);
        if (port(local) == operatorPort)
            serviceSide[port(remote)] = unread == 0;
        else if (port(remote) == operatorPort)
            operatorSide[port(local)] = unsent == 0;
    }
    std::set<unsigned short> ready;
    for (const auto& [port, empty] : operatorSide)
        if (empty && serviceSide.count(port) && serviceSide[port])
            ready.insert(port);
    return ready;
}

void Soak::Act()
{
    const std::int64_t now = WallNanos();
    const std::set<unsigned short> ready = ReadToTheEnd(operatorPort);
    for (Operator& op : operators) {
        SoakOperator& link = *op.link;
        if (!link.Greeted() || link.Ended() || link.AnswersPending() > 0)
            continue;
        // Only once the service has read the last message, so that TCP never
        // joins two into one receive; and not at once, as clients do.
        if (now - link.LastSend() < 150'000'000 || !ready.count(link.LocalPort()))
            continue;
        if (Chance(0.06))
            OperatorActs(op);
    }
    if (operators.size() < 40 && Chance(0.01))
        Connect();
    if (Chance(0.003)) {
        SoakCamera& camera = *cameras[static_cast<std::size_t>(Pick(0, int(cameras.size()) - 1))];
        camera.Drop();
        camera.Refuse(std::chrono::milliseconds(Pick(500, 3000)));
        ++drops;
    }
    if (Chance(0.002)) {
        cameras[static_cast<std::size_t>(Pick(0, int(cameras.size()) - 1))]->Refuse(
            std::chrono::milliseconds(Pick(1000, 3000)));
        ++refusals;
    }
    if (Chance(0.015)) {
        TellNvr("fire " + std::to_string(Pick(1, int(cameras.size()) * 2)));
        ++triggersFired;
    }
    if (Chance(0.0003)) {
        nvr->Stop(5s);
        nvr.reset();
        if (!StartNvr())
            Fault("nvrsim did not start again");
        ++nvrRestarts;
    }
    if (Chance(0.002)) {
        // Cameras after the first four come and go; users beyond the
        // permanent ones are added here and removed at quiet points.
        if (Chance(0.6)) {
            const std::size_t index = static_cast<std::size_t>(Pick(4, int(cameras.size()) - 1));
            configured[index] = !configured[index];
            ++camerasToggled;
        } else {
            for (User& user : users)
                if (!user.configured) {
                    user.configured = true;
                    break;
                }
        }
        Reload();
    }
    if (Chance(0.01)) {
        const bool answered = !HttpGet(statusPort, Chance(0.5) ? "/status" : "/metrics").empty();
        ++(answered ? statusAnswered : statusFailed);
    }
}

bool Soak::QuietPoint(ServiceCounters& counters)
{
    for (const auto& camera : cameras)
        camera->Listen();
    // Every LOGIN answered and every reload carried out.
    if (!PumpUntil(
            [&] {
                return std::all_of(operators.begin(), operators.end(), [](const Operator& op) {
                    return op.link->Ended() || (op.link->Greeted() && op.link->AnswersPending() == 0);
                });
            },
            60s))
        Fault("LOGINs not answered within a minute");
    if (!PumpUntil([&] { return ReloadsDone(); }, 30s))
        Fault("reloads not carried out within 30 s");
    for (User& user : users)
        user.usable = user.configured;
    // Holds lapse (LockTime 1 s), soft triggers fired land, then the counters
    // settle.
    Pump(1500ms);
    ServiceCounters previous;
    bool settled = false;
    for (int attempt = 0; attempt < 30 && !settled; ++attempt) {
        Pump(300ms);
        if (!ReadCounters(counters)) {
            Fault("no /metrics from the service");
            return false;
        }
        settled = attempt > 0 && counters.noticesSent == previous.noticesSent &&
                  counters.unknownCamera == previous.unknownCamera &&
                  counters.commands.size() == previous.commands.size() &&
                  std::equal(counters.commands.begin(), counters.commands.end(), previous.commands.begin(),
                             [](const auto& a, const auto& b) { return a.second.Total() == b.second.Total(); });
        previous = counters;
    }
    if (!settled)
        Fault("the service's counters did not settle");
    // The barrier: a LOGIN each, whose answer follows every notice queued
    // before it.
    if (!PumpUntil(
            [&] {
                const std::set<unsigned short> ready = ReadToTheEnd(operatorPort);
                return std::all_of(operators.begin(), operators.end(), [&](const Operator& op) {
                    return op.link->Ended() || ready.count(op.link->LocalPort()) > 0;
                });
            },
            60s))
        Fault("the service left messages unread for a minute");
    for (Operator& op : operators) {
        if (op.link->Ended())
            continue;
        if (op.user < 0 || !users[static_cast<std::size_t>(op.user)].configured)
            op.user = 0; // the watcher's account, which takes any password
        const User& user = users[static_cast<std::size_t>(op.user)];
        op.link->Login(user.name, user.password, WallNanos());
    }
    if (!PumpUntil(
            [&] {
                return std::all_of(operators.begin(), operators.end(), [](const Operator& op) {
                    return op.link->Ended() || op.link->AnswersPending() == 0;
                });
            },
            60s))
        Fault("barrier LOGINs not answered within a minute");
    for (Operator& op : operators) {
        ledger.NoticesReceived(op.link->TakeNotices());
        if (op.link->Ended())
            Fault("operator " + std::to_string(op.link->Index()) + " ended mid-round: " +
                  op.link->Problem());
    }
    std::erase_if(operators, [](const Operator& op) { return op.link->Ended(); });
    return true;
}

void Soak::Boundary()
{
    for (Operator& op : operators)
        if (Chance(0.15)) {
            op.link->Close();
            ++disconnects;
        }
    std::erase_if(operators, [](const Operator& op) { return op.link->Ended(); });
    // A user removed ends the sessions logged in as it.
    if (Chance(0.3)) {
        std::vector<std::size_t> removable;
        for (std::size_t i = 0; i < users.size(); ++i)
            if (users[i].configured && !users[i].permanent)
                removable.push_back(i);
        if (!removable.empty()) {
            const std::size_t removed = removable[static_cast<std::size_t>(Pick(0, int(removable.size()) - 1))];
            users[removed].configured = users[removed].usable = false;
            ++usersRemoved;
            Reload();
            if (!PumpUntil([&] { return ReloadsDone(); }, 30s))
                Fault("reload removing a user not carried out within 30 s");
            const auto theirs = [&](const Operator& op) { return op.user == int(removed); };
            if (!PumpUntil(
                    [&] {
                        return std::all_of(operators.begin(), operators.end(), [&](const Operator& op) {
                            return !theirs(op) || op.link->Ended();
                        });
                    },
                    10s))
                Fault("sessions of removed user " + users[removed].name + " still open");
            for (Operator& op : operators)
                if (theirs(op))
                    op.link->TakeNotices();
            std::erase_if(operators, [&](const Operator& op) { return theirs(op); });
        }
    }
    while (operators.size() < BaseOperators)
        Connect();
}

void Soak::Report(int minute, const RoundTally& tally, const ProcessGauge& gauge)
{
    std::ostringstream line;
    line << (minute > 0 ? "minute " + std::to_string(minute) : std::string("total")) << ": rss "
         << gauge.residentKilobytes << " kB, descriptors " << gauge.descriptors << " (+"
         << gauge.connections << " connections), threads " << gauge.threads << "; frames sent "
         << tally.sent << ", delivered " << tally.delivered << ", refused " << tally.refused
         << ", dropped " << tally.dropped << ", failed " << tally.failed << ", unknown camera "
         << tally.unknown << ", lost in camera drops " << tally.lostInDrops << ", lost "
         << tally.lost << "; notices due " << tally.noticesDue << ", received "
         << tally.noticesReceived;
    if (tally.unaccounted || tally.duplicates || tally.outOfOrder || tally.stale || tally.misrouted ||
        tally.strays)
        line << "; unaccounted " << tally.unaccounted << ", duplicates " << tally.duplicates
             << ", out of order " << tally.outOfOrder << ", stale " << tally.stale << ", misrouted "
             << tally.misrouted << ", strays " << tally.strays;
    Say(line.str());
}

int Soak::Run()
{
    operatorPort = FreeLoopbackPort();
    statusPort = FreeLoopbackPort();
    nvrPort = FreeLoopbackPort();
    nvrControlPort = FreeLoopbackPort();
    for (std::uint8_t number = 1; number <= 10; ++number) {
        cameras.push_back(std::make_unique<SoakCamera>(io, number, ledger));
        configured.push_back(number <= 8);
    }
    // The watcher's account (any password) first; the x users come and go.
    users = {{"watch", "", 0, true, true, true, {}},   {"u1", "p1", 1, true, true, true, {}},
             {"u2", "p2", 2, true, true, true, {}},    {"u3", "p3", 3, true, true, true, {}},
             {"u4", "p4", 3, true, true, true, {}},    {"u5", "p5", 5, true, true, true, {}},
             {"x1", "px", 2, false, false, false, {}}, {"x2", "px", 4, false, false, false, {}},
             {"x3", "px", 1, true, true, false, {}},   {"x4", "px", 6, true, true, false, {}}};
    if (!StartNvr()) {
        std::cerr << "korvelsoak: nvrsim did not start\n";
        return 1;
    }
    if (!StartService()) {
        std::cerr << "korvelsoak: the service did not start\n";
        return 1;
    }
    std::ostringstream heading;
    heading << "tlKorvel soak, " << Now() << ", seed " << options.seed << ", " << options.minutes
            << " minutes, rounds of 12 s each closed by a quiet point";
    Say(heading.str());

    std::set<unsigned short> peerPorts = {nvrPort};
    for (const auto& camera : cameras)
        peerPorts.insert(camera->Port());
    const auto start = Steady::now();
    const auto end = start + std::chrono::milliseconds(static_cast<std::int64_t>(options.minutes * 60000));
    ServiceCounters before;
    while (operators.size() < BaseOperators)
        Connect();
    QuietPoint(before);
    ledger.CloseRound(before, before);
    RoundTally minuteTally, total;
    std::vector<ProcessGauge> gauges; // one a minute, at the quiet point that closes it
    int minute = 1;
    while (Steady::now() < end && service->Running() && !stopAsked) {
        const auto activeEnd = std::min(end, Steady::now() + 12s);
        while (Steady::now() < activeEnd && !stopAsked) {
            Pump(20ms);
            Act();
        }
        ServiceCounters after;
        if (!QuietPoint(after))
            break;
        const RoundTally tally = ledger.CloseRound(before, after);
        ++rounds;
        if (tally.Faulty()) {
            std::ostringstream what;
            what << "round books: lost " << tally.lost << ", unaccounted " << tally.unaccounted
                 << ", duplicates " << tally.duplicates << ", out of order " << tally.outOfOrder
                 << ", stale " << tally.stale << ", misrouted " << tally.misrouted << ", strays "
                 << tally.strays << ", notices due " << tally.noticesDue << " received "
                 << tally.noticesReceived;
            Fault(what.str());
        }
        minuteTally += tally;
        total += tally;
        if (Steady::now() - start >= minute * 1min || Steady::now() >= end || stopAsked) {
            // Measured with as many sessions open at every minute.
            while (operators.size() > BaseOperators) {
                operators.erase(operators.begin() + Pick(0, int(operators.size()) - 1));
                ++disconnects;
            }
            if (!PumpUntil([&] { return SessionsOpen() == operators.size(); }, 10s))
                Fault("the service still counts closed sessions open");
            gauges.push_back(Gauge(service->Pid(), {operatorPort, statusPort}, peerPorts));
            Report(minute, minuteTally, gauges.back());
            minuteTally = {};
            ++minute;
        }
        Boundary();
        if (!ReadCounters(before)) {
            Fault("no /metrics from the service");
            break;
        }
    }
    if (!service->Running())
        Fault("the service stopped: " + std::string("see ") + directory + "output.txt");
    if (stopAsked)
        Say("stopped when asked, after " + std::to_string(Ms(start) / 1000) + " s");
    if (!gauges.empty())
        Report(0, total, gauges.back());
    std::ostringstream activity;
    activity << "activity: " << connects << " operator connections, " << disconnects
             << " closed by operators, " << wrongLogins << " wrong logins, " << drops
             << " camera drops, " << refusals << " camera refusals, " << triggersFired
             << " soft triggers fired, " << nvrRestarts << " NVR restarts, " << reloadsAsked
             << " reloads (" << camerasToggled << " cameras added or removed, " << usersRemoved
             << " users removed), " << statusAnswered << " status requests answered, "
             << statusFailed << " failed, " << rounds << " rounds";
    // What the service made of the NVR's part.
    const std::string metrics = HttpGet(statusPort, "/metrics");
    for (const char* family : {"tlkorvel_soft_trigger_handovers_total", "tlkorvel_nvr_logins_total",
                                "tlkorvel_logins_throttled_total"})
        for (std::size_t at = metrics.find(std::string("\n") + family); at != std::string::npos;
             at = metrics.find(std::string("\n") + family, at + 1))
            activity << "; " << metrics.substr(at + 1, metrics.find('\n', at + 1) - at - 1);
    Say(activity.str());
    if (gauges.size() >= 3) {
        const std::string grew = GrowthBeyond(gauges[1], gauges.back(), 0.02);
        if (!grew.empty())
            Fault("grew from minute 2 to the last beyond 2%: " + grew);
    } else {
        Say("growth not judged: fewer than three minutes");
    }
    const int status = service->Stop();
    if (status != 0)
        Fault("the service's exit status was " + std::to_string(status));
    Say(faults == 0 ? "PASSED" : "FAILED: " + std::to_string(faults) + " fault(s)");
    if (!options.out.empty()) {
        std::ofstream file(options.out + ".tmp");
        for (const std::string& line : lines)
            file << line << "\n";
        file.close();
        std::filesystem::rename(options.out + ".tmp", options.out);
    }
    if (faults > 0)
        std::filesystem::copy(directory, directory.substr(0, directory.size() - 1) + ".kept",
                              std::filesystem::copy_options::recursive);
    return faults == 0 ? 0 : 1;
}

} // namespace

} // namespace korvel

int main(int argc, char** argv)
{
    korvel::Options options;
    if (!korvel::Parse(argc, argv, options)) {
        std::cerr << "usage: korvelsoak [--service PATH] [--nvrsim PATH] [--minutes N] "
                     "[--seed N] [--out FILE]\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, [](int) { korvel::stopAsked = 1; });
    std::signal(SIGTERM, [](int) { korvel::stopAsked = 1; });
    try {
        korvel::Soak soak(options);
        return soak.Run();
    } catch (const std::exception& error) {
        std::cerr << "korvelsoak: " << error.what() << "\n";
        return 1;
    }
}
