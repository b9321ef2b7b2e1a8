// Which commands a camera reports as delivered (what holds are made of; the
// holds themselves are the arbitration's, see ArbitrationCoreTest), and the
// camera's lifetime against its pending work.
#include "support/CameraLoop.h"
#include "support/LogCapture.h"
#include "support/LoopbackListener.h"
#include "support/PseudoTerminal.h"

#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

namespace korvel::camera_delivery_test {

namespace {

std::string CameraAt(std::uint16_t port, const std::string& attributes = "")
{
    return R"(<Camera Address="127.0.0.1" Port=")" + std::to_string(port) + "\" " + attributes +
           "/>";
}

} // namespace

TEST(CameraDelivery, FailedAndDroppedCommandsAreNotDelivered)
{
    boost::asio::io_context io;
    PseudoTerminal line;
    auto serial =
        MakeCamera(io, "<Camera Address=\"cam\" Port=\"" + line.SlavePath() + "\" />", 1, 60);
    DeliveryRecorder recorder;
    recorder.Watch(*serial);
    recorder.Send(*serial, 1, 4, "a");
    EXPECT_TRUE(recorder.events.empty()) << "reported from the loop, not from SendCommand";
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 1; }));

    LogCapture log;
    line.CloseMaster();
    recorder.Send(*serial, 2, 9, "b");
    ASSERT_TRUE(RunUntil(io, [&] { return log.Count("Error sending command") == 1; }));

    LoopbackListener listener(io);
    auto network = MakeCamera(io, CameraAt(listener.Port()));
    recorder.Watch(*network);
    // Before the first resolution: no socket.
    recorder.Send(*network, 3, 1, "c");
    EXPECT_EQ(network->GetCommandCounts().dropped, 1u);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));
    // Written and reported after anything the dropped command or the failed
    // one would have been.
    recorder.Send(*network, 4, 1, "d");
    ASSERT_TRUE(RunUntil(io, [&] {
        return listener.Received(0).find('d') != std::string::npos &&
               recorder.events.back() == "delivered 4 at 127.0.0.1";
    }));
    EXPECT_EQ(listener.Received(0), "d");
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"delivered 1 at cam", "delivered 4 at 127.0.0.1"}));
    EXPECT_EQ(network->GetLockTimeSecs(), 5);
}

// Completions still queued when a camera goes must find it gone, also when
// the loop runs again afterwards (a camera the loader does not file).
TEST(CameraDelivery, CameraGoneWithPendingWorkDoesNothingLater)
{
    boost::asio::io_context io;
    LoopbackListener listener(io);
    DeliveryRecorder recorder;
    LogCapture log;

    auto unfiled = MakeCamera(io, CameraAt(listener.Port()));
    unfiled->Stop();
    unfiled.reset();

    // However long the sending takes, nothing waits too long: only the
    // queue's bound drops.
    auto held = MakeCamera(io, CameraAt(listener.Port(), R"(MaxCommandAgeMs="0" )"), 1, 0);
    recorder.Watch(*held);
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() == 1; }));
    recorder.Send(*held, 1, 1, "a");
    ASSERT_TRUE(RunUntil(io, [&] { return recorder.events.size() == 1; }));
    // More than the socket's buffers and the queue hold, without running the
    // loop: writes are left in flight and completions queued.
    const std::string command(64 * 1024, 'b');
    std::uint64_t sent = 1;
    for (int i = 0; i < 1000 && held->GetCommandCounts().dropped == 0; ++i, ++sent)
        recorder.Send(*held, 2, 1, command);
    ASSERT_GT(held->GetCommandCounts().dropped, 0u) << "the queue filled up";
    // The stop counts every command still on its way (a reload that removes
    // the camera): none is left uncounted.
    held->Stop();
    const TrackCamera::CommandCounts counts = held->GetCommandCounts();
    EXPECT_EQ(counts.written + counts.dropped + counts.failed, sent)
        << counts.written << " written, " << counts.dropped << " dropped, " << counts.failed
        << " failed";
    const std::size_t delivered = recorder.events.size();
    held.reset();

    // Every completion queued for the cameras that went runs before this
    // one; a camera made after it resolves, connects and is accepted after
    // anything they would have set off.
    bool queuedRan = false;
    boost::asio::post(io, [&] { queuedRan = true; });
    ASSERT_TRUE(RunUntil(io, [&] { return queuedRan; }));
    auto witness = MakeCamera(io, CameraAt(listener.Port()));
    ASSERT_TRUE(RunUntil(io, [&] { return listener.Connections() >= 2; }));
    witness->SendCommand(9, 1, "w", 1);
    ASSERT_TRUE(
        RunUntil(io, [&] { return listener.Received(listener.Connections() - 1) == "w"; }));
    EXPECT_EQ(listener.Connections(), 2u) << "the stopped cameras never connect";
    EXPECT_EQ(listener.Received(1), "w");
    EXPECT_EQ(recorder.events.size(), delivered) << "nothing is reported after the camera has gone";
    const std::string connecting =
        "Connecting to track camera at 127.0.0.1:" + std::to_string(listener.Port());
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{connecting, connecting,
                                        "Command queue for track camera at 127.0.0.1 is full; "
                                        "dropping commands until it drains",
                                        connecting}));
}

} // namespace korvel::camera_delivery_test
