// Serial track cameras on real pseudo-terminals: the program opens the slave
// by its path, the test reads the master side and the slave's line settings
// (SerialSettingsTest.cpp: the options for what a pseudo-terminal cannot show).
#include "support/CameraLoop.h"
#include "support/LogCapture.h"
#include "support/PseudoTerminal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace korvel::serial_camera_test {

namespace {

std::string SerialCamera(const std::string& device, const std::string& attributes = "")
{
    return "<Camera Address=\"cam1\" PelcoNumber=\"2\" Port=\"" + device + "\" " + attributes +
           " />";
}

} // namespace

TEST(SerialCamera, OpensTheDeviceWithTheConfiguredLineAndLogsInvalidValues)
{
    const struct
    {
        std::string attributes;
        speed_t speed;
        bool twoStopBits;
        bool oddParity;
        std::vector<std::string> invalid; // expected lines before "Connecting to ..."
    } cases[] = {
        {"", B2400, false, false, {}},
        {R"(BaudRate="9600" StopBits="2" Parity="odd")", B9600, true, true, {}},
        {R"(BaudRate="19200x" Parity="Even")", B19200, false, false, {}},
        {R"(StopBits="0" Parity="M")", B2400, false, false, {"StopBits", "Parity"}},
        {R"(StopBits="3" Parity="O")", B2400, false, true, {"StopBits"}},
    };
    for (const auto& c : cases) {
        boost::asio::io_context io;
        PseudoTerminal line;
        const std::string device = line.SlavePath();
        LogCapture log;
        auto camera = MakeCamera(io, SerialCamera(device, c.attributes));

        const termios settings = line.SlaveSettings();
        EXPECT_EQ(::cfgetospeed(&settings), c.speed) << c.attributes;
        EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, c.twoStopBits) << c.attributes;
        EXPECT_EQ((settings.c_cflag & PARODD) != 0, c.oddParity) << c.attributes;

        std::vector<std::string> expected;
        for (const auto& what : c.invalid) {
            expected.push_back("Invalid " + what + " value for camera at cam1:" + device +
                               ". Defaulting to " + (what == "Parity" ? "N" : "1"));
        }
        expected.push_back("Connecting to analog track camera on serial port " + device);
        EXPECT_EQ(log.Lines(), expected) << c.attributes;
    }
}

TEST(SerialCamera, CommandsArriveUnchangedAndInOrder)
{
    boost::asio::io_context io;
    PseudoTerminal line;
    auto camera = MakeCamera(io, SerialCamera(line.SlavePath()));
    DeliveryRecorder recorder;
    recorder.Watch(*camera);

    std::string all;
    for (int first = 0; first < 256; first += 64) {
        std::string command;
        for (int value = first; value < first + 64; ++value)
            command += static_cast<char>(value);
        recorder.Send(*camera, 3, 1, command);
        all += command;
    }
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 4; }));
    EXPECT_EQ(line.Read(all.size()), all);
    EXPECT_EQ(recorder.events.back(), "delivered 3 at cam1");
}

TEST(SerialCamera, MissingDeviceIsLoggedOnceAndCommandsGoNowhere)
{
    boost::asio::io_context io;
    LogCapture log;
    auto camera = MakeCamera(io, SerialCamera("/dev/korvel-no-such-tty"));
    DeliveryRecorder recorder;
    recorder.Watch(*camera);
    recorder.Send(*camera, 3, 1, "\xff\x02");
    EXPECT_EQ(camera->GetCommandCounts().dropped, 1u);
    // Nothing else keeps the loop busy: whatever the command set off has run.
    ASSERT_TRUE(RunUntilIdle(io));

    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Error connecting to track camera on serial port "
                                       "/dev/korvel-no-such-tty:No such file or directory"});
    EXPECT_TRUE(recorder.events.empty());
}

// The device is named through a link, so that the test can put another line
// behind the name before the first one hangs up.
TEST(SerialCamera, FailedWriteReopensTheDeviceWithTheConfiguredLine)
{
    boost::asio::io_context io;
    TempDir dir;
    const std::string link = dir.File("camera-line");
    PseudoTerminal first;
    PseudoTerminal second;
    ASSERT_EQ(::symlink(first.SlavePath().c_str(), link.c_str()), 0);
    auto camera = MakeCamera(io, SerialCamera(link, R"(BaudRate="9600" StopBits="2" Parity="O")"));
    DeliveryRecorder recorder;
    recorder.Watch(*camera);
    auto send = [&](const std::string& bytes) { recorder.Send(*camera, 5, 1, bytes); };

    send("one");
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 1; }));
    EXPECT_EQ(first.Read(3), "one");

    LogCapture log;
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink(second.SlavePath().c_str(), link.c_str()), 0);
    first.CloseMaster();
    send("lost");
    send("two");
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 2; }));
    EXPECT_EQ(second.Read(3), "two");
    const termios settings = second.SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&settings), B9600);
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    EXPECT_NE(settings.c_cflag & PARODD, 0u);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Error sending command to serial port " + link +
                                                    ": Input/output error"});

    // With nothing behind the name, every failed command logs its reopen
    // failure; the send failure stays logged once per camera.
    ::unlink(link.c_str());
    second.CloseMaster();
    send("three");
    send("four");
    ASSERT_TRUE(RunUntil(io, [&] { return log.Count("Error opening serial port ") == 2; }));
    EXPECT_EQ(log.Count("Error opening serial port " + link + ": No such file or directory"), 2);
    EXPECT_EQ(log.Count("Error sending command"), 1);
    EXPECT_EQ(recorder.events.size(), 2u) << "failed commands are not delivered";
}

} // namespace korvel::serial_camera_test
