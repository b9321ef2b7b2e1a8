// Track cameras that die in the middle of an operator's command stream and
// come back: the service, camsim and the operator are real processes and
// sockets, the serial camera a real pseudo-terminal behind a device link.
#include "Operators.h"
#include "ServiceProcess.h"
#include "Simulators.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

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

} // namespace

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
