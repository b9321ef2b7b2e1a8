// The control hold a delivered command gives its sender, seen through a
// recording listener, and the camera's lifetime against its pending work.
#include "support/CameraLoop.h"
#include "support/LogCapture.h"
#include "support/LoopbackListener.h"
#include "support/PseudoTerminal.h"

#include <gtest/gtest.h>

namespace {

std::string CameraAt(std::uint16_t port)
{
    return R"(<Camera Address="127.0.0.1" Port=")" + std::to_string(port) + R"(" />)";
}

} // namespace

TEST(CameraHold, DeliveredCommandsTakeAndRenewTheHoldUntilItLapses)
{
    const struct
    {
        int lockTimeSecs;
        std::vector<std::string> events; // after the commands of sessions 7 and 9
    } cases[] = {
        {2, {"control 7 at 127.0.0.1", "control 9 at 127.0.0.1", "release at 127.0.0.1"}},
        {0,
         {"control 7 at 127.0.0.1", "release at 127.0.0.1", "control 9 at 127.0.0.1",
          "release at 127.0.0.1"}},
    };
    for (const auto& c : cases) {
        boost::asio::io_context io;
        LoopbackListener listener(io);
        auto camera = MakeCamera(io, CameraAt(listener.Port()), 1, c.lockTimeSecs);
        HoldRecorder recorder;
        camera->SetClientServer(&recorder);
        ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));
        EXPECT_EQ(camera->GetHolderSession(), 0);
        EXPECT_EQ(camera->GetHolderPriority(), -1);

        camera->SendCommand(7, 3, "a", 1);
        ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == c.events.size() - 2; }));
        if (c.lockTimeSecs > 0) {
            EXPECT_EQ(camera->GetHolderSession(), 7);
            EXPECT_EQ(camera->GetHolderPriority(), 3);
        }
        camera->SendCommand(9, 5, "b", 1);
        ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == c.events.size() - 1; }));
        if (c.lockTimeSecs > 0) {
            EXPECT_EQ(camera->GetHolderSession(), 9);
            EXPECT_EQ(camera->GetHolderPriority(), 5);
        }
        ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == c.events.size(); }));
        RunFor(io, std::chrono::milliseconds(100));
        EXPECT_EQ(recorder.events, c.events) << c.lockTimeSecs;
        EXPECT_EQ(camera->GetHolderSession(), 0);
        EXPECT_EQ(camera->GetHolderPriority(), -1);
    }
}

// Each delivered command moves the end of the hold on: it lapses LockTime
// after the last command, not after the first.
TEST(CameraHold, HoldLapsesLockTimeAfterTheLastDeliveredCommand)
{
    using Clock = std::chrono::steady_clock;
    boost::asio::io_context io;
    LoopbackListener listener(io);
    auto camera = MakeCamera(io, CameraAt(listener.Port()), 1, 2);
    HoldRecorder recorder;
    camera->SetClientServer(&recorder);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));

    camera->SendCommand(7, 3, "a", 1);
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 1; }));
    RunFor(io, std::chrono::milliseconds(1200));
    camera->SendCommand(7, 3, "b", 1);
    const auto last = Clock::now();
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 3; }));
    EXPECT_GE(Clock::now() - last, std::chrono::milliseconds(1900));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"control 7 at 127.0.0.1",
                                                         "control 7 at 127.0.0.1",
                                                         "release at 127.0.0.1"}));
}

TEST(CameraHold, FailedAndDroppedCommandsLeaveTheHoldAlone)
{
    boost::asio::io_context io;
    PseudoTerminal line;
    auto serial =
        MakeCamera(io, "<Camera Address=\"cam\" Port=\"" + line.SlavePath() + "\" />", 1, 60);
    HoldRecorder recorder;
    serial->SetClientServer(&recorder);
    serial->SendCommand(1, 4, "a", 1);
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 1; }));

    LogCapture log;
    line.CloseMaster();
    serial->SendCommand(2, 9, "b", 1);
    ASSERT_TRUE(RunUntil(io, [&] { return log.Count("Error sending command") == 1; }));
    EXPECT_EQ(serial->GetHolderSession(), 1);
    EXPECT_EQ(serial->GetHolderPriority(), 4);

    LoopbackListener listener(io);
    auto network = MakeCamera(io, CameraAt(listener.Port()));
    network->SetClientServer(&recorder);
    network->SendCommand(3, 1, "c", 1); // before the first resolution: no socket
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));
    RunFor(io, std::chrono::milliseconds(100));
    EXPECT_EQ(recorder.events, std::vector<std::string>{"control 1 at cam"});
    EXPECT_EQ(network->GetHolderSession(), 0);
}

// Completions still queued when a camera goes must find it gone, also when
// the loop runs again afterwards (a camera the loader does not file).
TEST(CameraHold, CameraGoneWithPendingWorkDoesNothingLater)
{
    boost::asio::io_context io;
    LoopbackListener listener(io);
    HoldRecorder recorder;
    LogCapture log;

    auto unfiled = MakeCamera(io, CameraAt(listener.Port()));
    unfiled->Stop();
    unfiled.reset();

    auto held = MakeCamera(io, CameraAt(listener.Port()), 1, 0);
    held->SetClientServer(&recorder);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));
    held->SendCommand(1, 1, "a", 1);
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 1; }));
    held->SendCommand(2, 1, "b", 1); // hold timer (and perhaps the write) pending
    const std::size_t announced = recorder.events.size();
    held.reset();

    RunFor(io, std::chrono::milliseconds(300));
    EXPECT_EQ(listener.Connections(), 1u) << "the stopped camera never connects";
    EXPECT_EQ(recorder.events.size(), announced) << "no release after the camera has gone";
    EXPECT_EQ(log.Lines(), std::vector<std::string>(2, "Connecting to track camera at 127.0.0.1:" +
                                                           std::to_string(listener.Port())));
}
