// Track cameras that die in the middle of an operator's command stream and
// come back: the service, camsim and the operator are real processes and
// sockets, the serial camera a real pseudo-terminal behind a device link.
#include "Operators.h"
#include "ServiceProcess.h"
#include "Simulators.h"
#include "camera/TrackCamera.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include <unistd.h>

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

// What arrived after the frames numbered below `from`.
std::vector<unsigned> From(const std::vector<unsigned>& numbers, unsigned from)
{
    std::vector<unsigned> tail;
    for (unsigned number : numbers)
        if (number >= from)
            tail.push_back(number);
    return tail;
}

std::string Text(const std::vector<unsigned>& numbers)
{
    std::string text;
    for (unsigned number : numbers)
        text += std::to_string(number) + " ";
    return text;
}

} // namespace

// The camera process is killed while an operator steers it and started again
// on the same port. Frames sent into the dead connection are lost inside TCP;
// the write that fails is dropped; the frames admitted while the link is down
// wait for it (the newest MaxHeldCommands of them); every frame sent once the
// service has reconnected arrives, once and in order.
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
    // The link is down from the first write that fails until the next
    // connection; the last outage frame is sent after the failure. While it
    // is down, a new socket per retry interval is all it makes, however
    // many frames come (the NVR, away too, makes one per interval as well).
    const std::set<std::string> before = service.Sockets();
    std::set<std::string> made;
    const auto start = std::chrono::steady_clock::now();
    const unsigned outageFirst = 100, outageLast = 199;
    for (unsigned number = outageFirst; number <= outageLast; ++number) {
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
        for (const std::string& socket : service.Sockets())
            if (!before.count(socket))
                made.insert(socket);
    }
    ASSERT_TRUE(service.WaitForLog("Error sending command to 127.0.0.1: ")) << service.Log();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LE(made.size(), static_cast<std::size_t>(4 + 2 * seconds))
        << "sockets made in " << seconds << " s of outage";

    camera = Camsim::Tcp(cameraPort);
    ASSERT_TRUE(WaitUntil([&] { return camera->Connections() == 1; }))
        << "reconnects after the retry interval\n"
        << service.Log();
    for (unsigned number = 1000; number < 1100; ++number)
        ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, number)));
    ASSERT_TRUE(camera->WaitForNumber(1099)) << camera->Output();

    const std::vector<unsigned> received = camera->Numbers();
    EXPECT_EQ(From(received, 1000), Range(1000, 1099)) << "nothing sent after reconnection is lost";
    const unsigned held = TrackCamera::MaxHeldCommands;
    std::vector<unsigned> expected = Range(outageLast - held + 1, outageLast);
    const std::vector<unsigned> after = Range(1000, 1099);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(received, expected) << "the newest frames of the outage waited for the link\n"
                                  << Text(received) << "\n"
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
