// Track cameras that die in the middle of an operator's command stream and
// come back: the service, camsim and the operator are real processes and
// sockets, the serial camera a real pseudo-terminal behind a device link.
#include "client/OperatorProtocol.h"
#include "support/Camsim.h"
#include "support/OperatorClient.h"
#include "support/PseudoTerminal.h"
#include "support/ServiceProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvel::camera_fault_test {

namespace {

const char* const SteeringUser = R"(<User Name="steer" Password="pw" Priority="5" />)";

// The numbers from first to last, in order.
std::vector<unsigned> Range(unsigned first, unsigned last)
{
    std::vector<unsigned> numbers;
    for (unsigned number = first; number <= last; ++number)
        numbers.push_back(number);
    return numbers;
}

std::string Text(const std::vector<unsigned>& numbers)
{
    std::string text;
    for (unsigned number : numbers)
        text += std::to_string(number) + " ";
    return text;
}

// The local ports of this machine's loopback connections to the port that
// are still being made (SYN sent, no answer yet).
std::set<std::string> AttemptsTo(std::uint16_t port)
{
    char remote[16];
    std::snprintf(remote, sizeof remote, "0100007F:%04X", port);
    std::set<std::string> attempts;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localField, remoteField, state;
        fields >> slot >> localField >> remoteField >> state;
        if (remoteField == remote && state == "02")
            attempts.insert(localField);
    }
    return attempts;
}

// A camera port on loopback that refuses connections until it listens, and
// then can be made to leave new connections hanging: with a backlog of one
// taken by a connection nobody accepts, further attempts get no answer until
// that one is taken.
class HangingCameraPort
{
public:
    HangingCameraPort()
    {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot bind a camera port");
        port = ntohs(address.sin_port);
    }
    ~HangingCameraPort()
    {
        for (int fd : {listener, filler, camera})
            if (fd >= 0)
                ::close(fd);
    }

    std::uint16_t Port() const { return port; }

    void ListenWithFullBacklog()
    {
        ::listen(listener, 0);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot fill the camera port's backlog");
    }

    // Takes the filler, so that the next attempt to arrive gets through, and
    // waits for that one: the camera's connection.
    bool AcceptCamera()
    {
        const int taken = ::accept(listener, nullptr, nullptr);
        if (taken < 0)
            return false;
        ::close(taken);
        timeval timeout{30, 0};
        ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        camera = ::accept(listener, nullptr, nullptr);
        return camera >= 0;
    }

    // The next bytes the camera's connection carries.
    std::string Received(std::size_t count) const { return ReadFrom(camera, count); }

private:
    int listener = -1;
    int filler = -1;
    int camera = -1;
    std::uint16_t port = 0;
};

// A 2,400-baud line at its far end: a reader that takes one byte every
// 1/240 s from the descriptor (a pseudo-terminal's master, or the socket a
// terminal server accepted) and keeps when each left the line.
class SlowLineReader
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double BytesPerSecond = 240;

    explicit SlowLineReader(int fd) : fd(fd), reader([this] { Run(); }) {}
    ~SlowLineReader()
    {
        done = true;
        reader.join();
    }

    // When the first byte after `from` of the frame `frame` left the line;
    // none before the timeout. The bytes before it are counted in `from`'s
    // stead, so that the next call looks past it.
    std::optional<Clock::time_point> WaitFor(const std::string& frame, std::size_t& from,
                                             std::chrono::milliseconds timeout = 20s)
    {
        std::optional<Clock::time_point> left;
        WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                const std::size_t at = bytes.find(frame, from);
                if (at == std::string::npos)
                    return false;
                from = at + frame.size();
                left = times[from - 1];
                return true;
            },
            timeout);
        return left;
    }
    std::string Bytes(std::size_t from, std::size_t to) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes.substr(from, to - from);
    }

private:
    void Run()
    {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1 / BytesPerSecond));
        Clock::time_point next = Clock::now();
        while (!done) {
            std::this_thread::sleep_until(next);
            // A byte that waited for the line leaves a byte's time after the
            // one before, however late this thread woke; one that finds the
            // line idle, a byte's time after it came.
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 0) <= 0) {
                if (::poll(&ready, 1, 50) <= 0)
                    continue;
                next = Clock::now();
            }
            char byte = 0;
            if (::read(fd, &byte, 1) != 1)
                continue;
            next += period;
            std::lock_guard<std::mutex> lock(mutex);
            bytes += byte;
            times.push_back(next);
        }
    }

    int fd;
    mutable std::mutex mutex;
    std::string bytes;
    std::vector<Clock::time_point> times;
    std::atomic<bool> done{false};
    std::thread reader;
};

} // namespace

// An operator steers a serial camera on a 2,400-baud line at 50 frames a
// second for 8 s (the line carries 34), then lets go with a stop frame. The
// line is a pseudo-terminal read at the line's speed, which takes whatever it
// is given and reports an empty queue: the service goes by the line's
// settings. The stop leaves on the line about a second after it was sent (4.1
// s if every frame were kept), nothing the operator sent before it arrives
// after it, and what is left arrives in order. (A network camera behind a
// terminal server, with LineBaudRate: the bench's slow scenario.)
TEST(CameraFaults, SlowLineNeverRunsOnStaleCommands)
{
    PseudoTerminal pty;
    ServiceSetup config;
    config.users = {SteeringUser};
    config.cameras = {R"(<Camera Address="dome" PelcoNumber="3" Port=")" + pty.SlavePath() +
                      R"(" />)"};
    ServiceProcess service(config);
    SlowLineReader reader(pty.MasterFd());

    auto steer = LogIn(service.Port(), "steer", "pw");
    const auto start = std::chrono::steady_clock::now();
    for (unsigned number = 1; number <= 400; ++number) {
        std::this_thread::sleep_until(start + number * 20ms);
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
    }
    const std::string stop("\xff\x03\x00\x00\x00\x00\x03", 7);
    const auto stopSent = std::chrono::steady_clock::now();
    ASSERT_TRUE(SendMessage(*steer, stop));
    std::size_t afterStop = 0;
    const auto stopLeft = reader.WaitFor(stop, afterStop);
    ASSERT_TRUE(stopLeft) << service.Log();
    EXPECT_LT(*stopLeft - stopSent, 2500ms) << service.Log();

    // A later frame, the barrier: nothing comes between the two.
    const std::string marker = NumberedFrame(3, 9999);
    ASSERT_TRUE(SendMessage(*steer, marker));
    std::size_t afterMarker = afterStop;
    ASSERT_TRUE(reader.WaitFor(marker, afterMarker)) << service.Log();
    EXPECT_EQ(afterMarker - afterStop, marker.size()) << "nothing stale after the stop";

    // What went before the stop went in order, and the drops were told.
    const std::string before = reader.Bytes(0, afterStop - stop.size());
    ASSERT_EQ(before.size() % 7, 0u);
    unsigned last = 0;
    for (std::size_t at = 0; at < before.size(); at += 7) {
        const unsigned number = static_cast<unsigned char>(before[at + 4]) * 256u +
                                static_cast<unsigned char>(before[at + 5]);
        EXPECT_GT(number, last) << "in order";
        last = number;
    }
    // The line needs 11.7 s for the 400 frames and keeps a second of them
    // waiting: sent within 10 s, some must be dropped. A machine so loaded
    // that the test itself sent them slower leaves the line time to carry
    // them; then only the order and the stop are checked.
    const auto sending = stopSent - start;
    if (sending < 10s) {
        EXPECT_LT(before.size() / 7, 400u) << "the line cannot carry them all";
        EXPECT_EQ(service.CountLog("Track camera at dome cannot keep up; dropping commands "
                                   "older than 1 s"),
                  1)
            << service.Log();
        EXPECT_TRUE(service.WaitForLog("Track camera at dome keeps up again; " +
                                       std::to_string(400 - before.size() / 7) +
                                       " commands dropped"))
            << service.Log();
    } else {
        std::cout << "[ NOTE     ] the frames took "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(sending).count()
                  << " ms to send, slower than the line carries: drops not checked\n";
    }
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// A camera refuses at first, then listens but leaves the next connection
// hanging. A command sent while the refused socket is the camera's fails; the
// commands sent while the hanging socket is the camera's wait for it, and
// are dropped when the retry replaces it. None of them ever reaches the
// camera, on any later connection, and the operator hears of none of them.
TEST(CameraFaults, CommandsNeverCarryOverToALaterConnection)
{
    HangingCameraPort port;
    ServiceSetup config;
    config.retryIntervalSecs = 4;
    config.users = {SteeringUser};
    config.cameras = {R"(<Camera Address="127.0.0.1" Port=")" + std::to_string(port.Port()) +
                      R"(" PelcoNumber="3" />)"};
    ServiceProcess service(config);
    ASSERT_TRUE(service.WaitForLog("*** Connection error for track camera at 127.0.0.1"))
        << service.Log();
    auto steer = LogIn(service.Port(), "steer", "pw");

    port.ListenWithFullBacklog();
    // Fails on the refused socket, and brings a new one whose connection hangs.
    ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, 100)));
    std::set<std::string> hanging;
    ASSERT_TRUE(WaitUntil([&] { return (hanging = AttemptsTo(port.Port())).size() == 1; }))
        << service.Log();
    // Written to the hanging socket: they wait for its connection.
    ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, 101)));
    ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, 102)));
    // The retry replaces that socket before it connects.
    ASSERT_TRUE(WaitUntil([&] {
        const auto now = AttemptsTo(port.Port());
        return now.size() == 1 && now != hanging;
    })) << service.Log();

    ASSERT_TRUE(port.AcceptCamera()) << service.Log();
    // Whatever carried over would come before the next command on the connection.
    ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, 200)));
    EXPECT_EQ(port.Received(7), NumberedFrame(3, 200)) << "nothing carries over\n" << service.Log();
    const std::string selected = OperatorProtocol::CameraMessage(true, "127.0.0.1", 3);
    const std::string control(OperatorProtocol::YouHaveControl);
    EXPECT_EQ(steer->Read(selected.size() + control.size()), selected + control)
        << "the one notice is for the command that arrived";
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// A camera named by a host name loses its connection while the name does not
// resolve. The camera keeps its socket; each later command written to it
// fails at once and looks the name up again, so once the name resolves and
// the camera listens again, the next command brings the camera back. The
// service runs in a mount namespace of its own with a hosts file of the test.
TEST(CameraFaults, CameraNamedByHostComesBackAfterFailedLookups)
{
    if (::geteuid() != 0 || ::access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root and unshare for a hosts file of its own";
    TempDir dir;
    const std::string hosts = dir.File("hosts");
    const std::string nsswitch = dir.File("nsswitch.conf");
    const std::string name = "korvel-test-camera";
    WriteFile(hosts, "127.0.0.1 " + name + "\n");
    WriteFile(nsswitch, "hosts: files\n");

    auto camera = Camsim::Tcp();
    const std::uint16_t cameraPort = camera->Port();
    ServiceSetup config;
    config.users = {SteeringUser};
    config.cameras = {R"(<Camera Address=")" + name + R"(" Port=")" + std::to_string(cameraPort) +
                      R"(" PelcoNumber="3" />)"};
    config.launcher = {"/usr/bin/unshare",
                       "--mount",
                       "--propagation",
                       "private",
                       "/bin/sh",
                       "-c",
                       "mount --bind " + hosts + " /etc/hosts && mount --bind " + nsswitch +
                           " /etc/nsswitch.conf && exec \"$@\"",
                       "sh"};
    ServiceProcess service(config);
    ASSERT_TRUE(WaitUntil([&] { return camera->Connections() == 1; })) << service.Log();
    auto steer = LogIn(service.Port(), "steer", "pw");
    ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, 1)));
    ASSERT_TRUE(camera->WaitForNumber(1)) << camera->Output();

    WriteFile(hosts, "");
    camera->Kill();
    const std::string unresolved = "*** Unable to resolve path to camera at " + name + ":";
    for (unsigned number = 100; service.CountLog(unresolved) == 0; ++number) {
        ASSERT_LT(number, 150u) << service.Log();
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
        service.WaitForLog(unresolved, 1, std::chrono::milliseconds(200));
    }
    EXPECT_EQ(service.CountLog("Error sending command to " + name + ": "), 1) << service.Log();
    for (unsigned number = 200; number < 203; ++number) {
        const int lookups = service.CountLog(unresolved);
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
        ASSERT_TRUE(service.WaitForLog(unresolved, lookups + 1))
            << "the write on the kept socket fails and looks the name up again\n"
            << service.Log();
    }

    WriteFile(hosts, "127.0.0.1 " + name + "\n");
    camera = Camsim::Tcp(cameraPort);
    for (unsigned number = 300; camera->Connections() == 0; ++number) {
        ASSERT_LT(number, 350u) << service.Log();
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
        WaitUntil([&] { return camera->Connections() > 0; }, std::chrono::milliseconds(200));
    }
    for (unsigned number = 1000; number < 1010; ++number)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
    ASSERT_TRUE(camera->WaitForNumber(1009)) << camera->Output() << service.Log();
    // Those sent while the new socket was being connected may arrive too.
    std::vector<unsigned> outage, after;
    for (unsigned number : camera->Numbers()) {
        if (number < 300)
            outage.push_back(number);
        else if (number >= 1000)
            after.push_back(number);
    }
    EXPECT_TRUE(outage.empty()) << "nothing of the outage arrives: " << Text(outage);
    EXPECT_EQ(after, Range(1000, 1009)) << Text(camera->Numbers());
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// The camera process is killed while an operator steers it and started again
// on the same port. Frames sent during the outage are lost (the first inside
// TCP, the rest by failed writes, each of which tries the camera again) and
// none of them reaches the camera once it is back; every frame sent once the
// service has reconnected arrives, once and in order. The sockets the outage
// made are all closed again.
TEST(CameraFaults, NetworkCameraKilledAndRestartedMidStream)
{
    auto camera = Camsim::Tcp();
    const std::uint16_t cameraPort = camera->Port();
    ServiceSetup config;
    config.users = {SteeringUser};
    config.cameras = {R"(<Camera Address="127.0.0.1" Port=")" + std::to_string(cameraPort) +
                      R"(" PelcoNumber="3" />)"};
    ServiceProcess service(config);
    ASSERT_TRUE(WaitUntil([&] { return camera->Connections() == 1; })) << service.Log();

    auto steer = LogIn(service.Port(), "steer", "pw");
    for (unsigned number = 1; number <= 10; ++number)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
    ASSERT_TRUE(camera->WaitForNumber(10)) << camera->Output();
    EXPECT_EQ(camera->Numbers(), Range(1, 10));
    const Footprint baseline = service.Settled();

    camera->Kill();
    for (unsigned number = 100; number <= 199; ++number)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
    ASSERT_TRUE(service.WaitForLog("Error sending command to 127.0.0.1: ")) << service.Log();

    camera = Camsim::Tcp(cameraPort);
    ASSERT_TRUE(WaitUntil([&] { return camera->Connections() == 1; }))
        << "reconnects after the retry interval\n"
        << service.Log();
    for (unsigned number = 1000; number < 1100; ++number)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
    ASSERT_TRUE(camera->WaitForNumber(1099)) << camera->Output();

    EXPECT_EQ(camera->Numbers(), Range(1000, 1099))
        << "nothing of the outage arrives later, nothing after it is lost\n"
        << Text(camera->Numbers()) << "\n"
        << service.Log();
    EXPECT_EQ(service.CountLog("Error sending command to 127.0.0.1: "), 1) << service.Log();
    EXPECT_EQ(service.CountLog("*** Connection error"), 0)
        << "a camera's link trouble is logged once\n"
        << service.Log();
    ExpectRecovered(service, baseline);
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// The serial camera's device disappears: the pseudo-terminal hangs up with its
// process and the device link is removed. Each command then fails; once a new
// device is behind the link, every command sent reaches it.
TEST(CameraFaults, SerialDeviceDisappearsAndComesBack)
{
    TempDir dir;
    const std::string link = dir.File("camera-line");
    auto camera = Camsim::Pty();
    ASSERT_EQ(::symlink(camera->Device().c_str(), link.c_str()), 0);
    ServiceSetup config;
    config.users = {SteeringUser};
    config.cameras = {R"(<Camera Address="gate" Port=")" + link +
                      R"(" PelcoNumber="4" BaudRate="9600" />)"};
    ServiceProcess service(config);

    auto steer = LogIn(service.Port(), "steer", "pw");
    for (unsigned number = 1; number <= 10; ++number)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(4, number)));
    ASSERT_TRUE(camera->WaitForNumber(10)) << camera->Output() << service.Log();
    EXPECT_EQ(camera->Numbers(), Range(1, 10));
    const Footprint baseline = service.Settled();

    camera->Kill();
    ASSERT_EQ(::unlink(link.c_str()), 0);
    const int outageFrames = 5;
    for (int i = 0; i < outageFrames; ++i)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(4, 100 + static_cast<unsigned>(i))));
    ASSERT_TRUE(service.WaitForLog("Error opening serial port ", outageFrames)) << service.Log();
    EXPECT_EQ(service.CountLog("Error sending command to serial port " + link + ": "), 1)
        << service.Log();
    EXPECT_EQ(service.CountLog("Error opening serial port " + link + ": No such file or directory"),
              outageFrames)
        << "every command tries the device again\n"
        << service.Log();

    camera = Camsim::Pty();
    ASSERT_EQ(::symlink(camera->Device().c_str(), link.c_str()), 0);
    for (unsigned number = 1000; number < 1050; ++number)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(4, number)));
    ASSERT_TRUE(camera->WaitForNumber(1049)) << camera->Output() << service.Log();
    EXPECT_EQ(camera->Numbers(), Range(1000, 1049))
        << "the first command after the device is back reaches it";
    EXPECT_EQ(service.CountLog("Error opening serial port "), outageFrames) << service.Log();

    ExpectRecovered(service, baseline);
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

} // namespace korvel::camera_fault_test
