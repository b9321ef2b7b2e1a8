// Network track cameras against real loopback listeners.
#include "support/CameraLoop.h"
#include "support/LogCapture.h"
#include "support/LoopbackListener.h"
#include "support/SimulatedTime.h"

#include <gtest/gtest.h>

#include <chrono>

namespace korvel::network_camera_test {

namespace {

using namespace std::chrono_literals;

// The link's retry wait, once it has begun: its alarm is set on the time
// source (the loop runs in this thread, so the test looks without waiting).
bool RunUntilWaiting(boost::asio::io_context& io, const SimulatedTime& time,
                     SimulatedTime::TimePoint deadline)
{
    return RunUntil(io, [&] { return time.AwaitAlarm(deadline, 0ms); });
}

std::string NetworkCamera(const std::string& port, const std::string& attributes = "")
{
    return R"(<Camera Address="127.0.0.1" PelcoNumber="4" Port=")" + port + "\" " + attributes +
           "/>";
}

} // namespace

TEST(NetworkCamera, ConnectsAndWritesCommandsInOrder)
{
    boost::asio::io_context io;
    LoopbackListener listener(io);
    const std::string port = std::to_string(listener.Port());
    LogCapture log;
    auto camera = MakeCamera(io, NetworkCamera(port));
    DeliveryRecorder recorder;
    recorder.Watch(*camera);

    recorder.Send(*camera, 1, 1, "early"); // no socket before the first resolution: dropped
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));

    std::string all;
    for (int i = 0; i < 100; ++i) {
        const std::string command = "command " + std::to_string(i) + ";";
        recorder.Send(*camera, 2, 1, command);
        all += command;
    }
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Received(0) == all; })) << listener.Received(0);
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 100; }));
    EXPECT_EQ(recorder.events.front(), "delivered 2 at 127.0.0.1");
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Connecting to track camera at 127.0.0.1:" + port});
}

TEST(NetworkCamera, RefusedConnectionIsLoggedOnceAndRetriedUntilAccepted)
{
    boost::asio::io_context io;
    LoopbackListener listener(io, 0, LoopbackListener::Start::Refusing);
    const std::uint16_t port = listener.Port();
    LogCapture log;
    SimulatedTime time;
    const auto start = time.Now();
    auto camera = MakeCamera(io, NetworkCamera(std::to_string(port)), 1, 5, time);
    const std::string refused = "*** Connection error for track camera at 127.0.0.1 on port " +
                                std::to_string(port) + ": Connection refused";
    ASSERT_TRUE(RunUntil(io, [&] { return log.Count(refused) == 1; })) << log.Text();

    // One more refused attempt a retry interval later, which waits again.
    ASSERT_TRUE(RunUntilWaiting(io, time, start + 1s));
    time.Advance(1s);
    ASSERT_TRUE(RunUntilWaiting(io, time, start + 2s));
    listener.Listen();
    time.Advance(1s);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));
    camera->SendCommand(1, 1, "pan", 3);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Received(0) == "pan"; }));
    EXPECT_EQ(log.Lines().size(), 2u) << log.Text();
}

TEST(NetworkCamera, PortThatNamesNoServiceLeavesTheCameraWithoutTransport)
{
    boost::asio::io_context io;
    LogCapture log;
    SimulatedTime time;
    auto camera = MakeCamera(io, NetworkCamera("1abc"), 1, 5, time);
    DeliveryRecorder recorder;
    recorder.Watch(*camera);
    ASSERT_TRUE(RunUntil(io, [&] { return log.Lines().size() == 2; }));
    recorder.Send(*camera, 1, 1, "pan");
    // Nothing else keeps the loop busy: whatever the command set off has run,
    // and so has a retry that a wait of the camera's would bring.
    ASSERT_TRUE(RunUntilIdle(io));
    time.Advance(1h);
    ASSERT_TRUE(RunUntilIdle(io));

    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"Connecting to track camera at 127.0.0.1:1abc",
                                        "*** Unable to resolve path to camera at 127.0.0.1:1abc: "
                                        "Service not found"}));
    EXPECT_TRUE(recorder.events.empty());
}

TEST(NetworkCamera, FailedWriteIsLoggedOnceAndStartsANewConnection)
{
    boost::asio::io_context io;
    LoopbackListener listener(io);
    auto camera = MakeCamera(io, NetworkCamera(std::to_string(listener.Port())));
    DeliveryRecorder recorder;
    recorder.Watch(*camera);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));

    LogCapture log;
    listener.Reset(0);
    // The reset reaches the camera's socket at once on loopback; the next
    // write fails. Keep sending until it has.
    for (int i = 0; i < 10 && log.Count("Error sending command to 127.0.0.1: ") == 0; ++i) {
        recorder.Send(*camera, 1, 1, "x");
        RunUntil(
            io, [&] { return log.Count("Error sending") == 1; }, std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 2; })) << log.Text();
    recorder.Send(*camera, 1, 1, "after");
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Received(1) == "after"; }));
    EXPECT_EQ(log.Count("Error sending command to 127.0.0.1: "), 1) << log.Text();
    EXPECT_EQ(log.Lines().size(), 1u) << log.Text();
}

TEST(NetworkCamera, CommandsBeyondTheQueueBoundAreDroppedAndLoggedOncePerOverflow)
{
    boost::asio::io_context io;
    LoopbackListener listener(io);
    // However long sending takes (a sanitizer build), no command is too old:
    // this is the queue's bound on bytes alone.
    auto camera =
        MakeCamera(io, NetworkCamera(std::to_string(listener.Port()), R"(MaxCommandAgeMs="0" )"));
    DeliveryRecorder recorder; // counts the delivered commands
    recorder.Watch(*camera);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));
    LogCapture log;
    const std::string fullLine =
        "Command queue for track camera at 127.0.0.1 is full; dropping commands until it drains";

    const std::size_t size = 1024;
    std::string expected;
    std::size_t accepted = 0;
    for (int overflow = 0; overflow < 2; ++overflow) {
        // Nothing drains while the loop does not run: the socket takes what
        // its buffers hold, the queue its bound, and then commands are dropped.
        std::size_t i = 0;
        for (; log.Count(fullLine) == overflow; ++i) {
            ASSERT_LT(i, 64 * TrackCamera::MaxPendingBytes / size) << "the queue is unbounded";
            const std::string command(size, static_cast<char>('a' + i % 26));
            recorder.Send(*camera, 1, 1, command);
            if (log.Count(fullLine) == overflow) {
                expected += command;
                ++accepted;
            }
        }
        EXPECT_GE(i, TrackCamera::MaxPendingBytes / size) << "the queue holds its bound";
        for (int dropped = 0; dropped < 50; ++dropped)
            recorder.Send(*camera, 1, 1, std::string(size, 'z'));
        ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == accepted; }));
    }
    ASSERT_TRUE(RunUntil(io, [&] { return listener.ReceivedBytes(0) == expected.size(); }));
    EXPECT_TRUE(listener.Received(0) == expected);
    EXPECT_EQ(log.Lines(), std::vector<std::string>(2, fullLine));
}

// A camera that refuses connections waits out a long retry interval (on a
// time source that never moves); the operators' commands meanwhile fail and
// are not kept, and each one tries the camera again at once. The first
// command after the camera starts listening brings the connection back
// (cancelling the long wait, which only a connection can end), the next one
// reaches it, and no command from the outage ever arrives.
TEST(NetworkCamera, CommandsDuringAnOutageAreDroppedAndTheNextOneReconnects)
{
    const std::string aborted = "Camera connection retry timer aborted";
    for (const int outageCommands : {0, 3}) {
        boost::asio::io_context io;
        LoopbackListener listener(io, 0, LoopbackListener::Start::Refusing);
        const std::uint16_t port = listener.Port();
        LogCapture log;
        SimulatedTime time;
        auto camera = MakeCamera(io, NetworkCamera(std::to_string(port)), 20, 5, time);
        DeliveryRecorder recorder;
        recorder.Watch(*camera);
        ASSERT_TRUE(RunUntil(io, [&] { return log.Count("*** Connection error") == 1; }))
            << log.Text();

        for (int i = 0; i < outageCommands; ++i) {
            recorder.Send(*camera, 1, 1, "lost;");
            // Refused again: the new retry wait replaces the one before.
            ASSERT_TRUE(RunUntil(io, [&] { return log.Count(aborted) == i + 1; })) << log.Text();
        }

        listener.Listen();
        recorder.Send(*camera, 2, 1, "first;");
        ASSERT_TRUE(RunUntil(io, [&] {
            return listener.Connections() == 1 && log.Count(aborted) == outageCommands + 1;
        })) << log.Text();
        // On the new connection after anything the camera kept from before.
        recorder.Send(*camera, 2, 1, "next;");
        ASSERT_TRUE(RunUntil(io, [&] {
            return listener.Received(0).find("next;") != std::string::npos &&
                   !recorder.events.empty();
        })) << listener.Received(0);
        EXPECT_EQ(listener.Received(0), "next;") << outageCommands;
        EXPECT_EQ(listener.Connections(), 1u);
        EXPECT_EQ(log.Count(aborted), outageCommands + 1) << log.Text();
        // Only the command that reached the camera takes the hold.
        EXPECT_EQ(recorder.events, std::vector<std::string>{"delivered 2 at 127.0.0.1"})
            << outageCommands;
    }
}

} // namespace korvel::network_camera_test
