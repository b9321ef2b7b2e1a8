#include "RelayUnderTest.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <csignal>
#include <stdlib.h>
#include <sys/stat.h>

namespace korvel {

using boost::asio::ip::tcp;

namespace {

std::string MakeDirectory()
{
    std::string pattern = "/tmp/korvelbench.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder under /tmp");
    return pattern + "/";
}

std::string ServiceConfiguration(unsigned short operatorPort,
                                 const std::vector<CameraEndpoint>& cameras,
                                 const std::vector<OperatorAccount>& accounts,
                                 unsigned lockTimeSecs, unsigned short statusPort,
                                 const std::string& auditFile, std::size_t maxSessions,
                                 const std::string& directoryService)
{
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<tlKorvel>\n"
        << "  <Options RetryIntervalSecs=\"1\" ClientAddress=\"127.0.0.1\" ClientPort=\""
        << operatorPort << "\" MaxSessions=\"" << maxSessions << "\" StatusPort=\"" << statusPort
        << "\"/>\n"
        << "  <KorvelControl LockTime=\"" << lockTimeSecs << "\" AuditFile=\"" << auditFile
        << "\">\n";
    for (const OperatorAccount& account : accounts)
        xml << "    <User Name=\"" << account.name << "\" Password=\"" << account.password
            << "\" Priority=\"" << account.priority << "\"/>\n";
    if (!directoryService.empty())
        xml << "    <Directory Service=\"" << directoryService
            << "\"><Group Name=\"cctv\" Priority=\"1\"/></Directory>\n";
    xml << "  </KorvelControl>\n"
        // Cameras belong to an NVR; nothing listens on its port, so its
        // connection keeps retrying in the background.
        << "  <NVR Address=\"127.0.0.1\" Port=\"" << FreeLoopbackPort()
        << "\" Login=\"bench\" Password=\"bench\">\n";
    for (const CameraEndpoint& camera : cameras) {
        xml << "    <Camera Address=\"" << camera.address << "\" Port=\"" << camera.port
            << "\" PelcoNumber=\"" << int(camera.number) << "\"";
        if (camera.lineBaudRate > 0)
            xml << " LineBaudRate=\"" << camera.lineBaudRate << "\"";
        xml << "/>\n";
    }
    xml << "  </NVR>\n</tlKorvel>\n";
    return xml.str();
}

std::string Tail(const std::string& path, std::size_t lines)
{
    std::ifstream file(path);
    std::vector<std::string> kept;
    for (std::string line; std::getline(file, line);) {
        kept.push_back(line);
        if (kept.size() > lines)
            kept.erase(kept.begin());
    }
    std::string text;
    for (const std::string& line : kept)
        text += "    " + line + "\n";
    return text;
}

} // namespace

const char* RelayName(RelayKind kind)
{
    return kind == RelayKind::Service ? "service" : "socat";
}

unsigned short FreeLoopbackPort()
{
    boost::asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    return probe.local_endpoint().port();
}

RelayUnderTest::RelayUnderTest(RelayKind kind, const BenchPaths& paths,
                               const std::vector<CameraEndpoint>& cameras,
                               const std::vector<OperatorAccount>& accounts, unsigned lockTimeSecs,
                               const ServiceExtras& extras)
    : kind(kind), directory(MakeDirectory())
{
    const unsigned short port = FreeLoopbackPort();
    operatorEndpoint = tcp::endpoint(boost::asio::ip::address_v4::loopback(), port);
    if (extras.statusServer)
        statusEndpoint = tcp::endpoint(boost::asio::ip::address_v4::loopback(), FreeLoopbackPort());
    std::vector<std::string> command;
    if (kind == RelayKind::Service) {
        const std::string program = directory + "tlKorvel";
        std::filesystem::copy_file(paths.service, program);
        std::string auditFile;
        if (extras.audit == ServiceExtras::Audit::File)
            auditFile = "audit.log";
        if (extras.audit == ServiceExtras::Audit::Fifo) {
            auditFile = "audit.fifo";
            if (mkfifo((directory + auditFile).c_str(), 0600) != 0)
                throw std::runtime_error("cannot make a FIFO in " + directory);
        }
        std::ofstream(directory + "tlKorvel.xml") << ServiceConfiguration(
            port, cameras, accounts, lockTimeSecs, extras.statusServer ? statusEndpoint.port() : 0,
            auditFile, extras.maxSessions, extras.directoryService);
        command = paths.serviceWrapper;
        command.insert(command.end(), extras.launcher.begin(), extras.launcher.end());
        command.insert(command.end(), {program, "-d"});
    } else {
        // The best a plain relay can do: no Nagle delay on either side, and
        // a backlog deep enough for the bench's connection bursts.
        const CameraEndpoint& camera = cameras.at(0);
        command = {paths.socat,
                   "TCP-LISTEN:" + std::to_string(port) +
                       ",bind=127.0.0.1,reuseaddr,fork,backlog=4096,nodelay",
                   "TCP:" + camera.address + ":" + std::to_string(camera.port) + ",nodelay"};
    }
    process = std::make_unique<ChildProcess>(command, directory + "output.txt", paths.relayCpus);
}

RelayUnderTest::~RelayUnderTest()
{
    process.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

std::size_t RelayUnderTest::ResidentKilobytes() const
{
    std::ifstream status("/proc/" + std::to_string(process->Pid()) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::stoul(line.substr(6));
    return 0;
}

std::int64_t RelayUnderTest::CpuNanos() const
{
    const std::string group = std::to_string(process->Pid());
    std::int64_t total = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // The process group is the fifth field, the third after the command
        // name (which is in parentheses and may hold blanks).
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
            continue;
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        std::string state, parent, processGroup;
        fields >> state >> parent >> processGroup;
        if (processGroup != group)
            continue;
        for (const auto& task : std::filesystem::directory_iterator(entry.path() / "task", error)) {
            std::ifstream schedstat(task.path() / "schedstat");
            std::int64_t onCpu = 0;
            if (schedstat >> onCpu)
                total += onCpu;
        }
    }
    return total;
}

void RelayUnderTest::AskForReload()
{
    ::kill(process->Pid(), SIGHUP);
}

std::size_t RelayUnderTest::ReloadsDone() const
{
    std::ifstream log(directory + "tlKorvel.log");
    std::size_t done = 0;
    for (std::string line; std::getline(log, line);)
        done += line.find("] Reloaded tlKorvel.xml: ") != std::string::npos ? 1 : 0;
    return done;
}

std::string RelayUnderTest::Diagnosis() const
{
    std::string text;
    if (kind == RelayKind::Service)
        text += "  service log:\n" + Tail(directory + "tlKorvel.log", 8);
    text += "  output:\n" + Tail(directory + "output.txt", 8);
    return text;
}

} // namespace korvel
