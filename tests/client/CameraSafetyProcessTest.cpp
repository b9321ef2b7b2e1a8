// The service's own writes to its cameras, end to end: the service and two
// camsim cameras as processes, an operator on a real connection. A camera
// is stopped when its hold lapses and goes home once idle; another patrols,
// gives way to the operator before its next preset and resumes once left
// alone.
#include "support/Camsim.h"
#include "support/OperatorClient.h"
#include "support/PelcoFrame.h"
#include "support/ServiceProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace korvel::camera_safety_process_test {

namespace {

using namespace std::chrono_literals;

// The bytes as camsim shows them.
std::string Shown(const std::string& bytes)
{
    static const char* const digits = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::size_t IndexOf(const std::vector<std::string>& frames, const std::string& frame,
                    std::size_t from = 0)
{
    const auto found = std::find(frames.begin() + static_cast<std::ptrdiff_t>(from), frames.end(),
                                 frame);
    return static_cast<std::size_t>(found - frames.begin());
}

} // namespace

TEST(CameraSafetyProcess, StopOnLapseHomeAfterIdleAndAPatrolThatYields)
{
    auto lobby = Camsim::Tcp(0, "127.0.0.1");
    auto yard = Camsim::Tcp(0, "127.0.0.2");
    ServiceSetup config;
    config.users = {R"(<User Name="op" Password="pw" Priority="5" />)"};
    config.cameras = {
        R"(<Camera Address="127.0.0.1" Port=")" + std::to_string(lobby->Port()) +
            R"(" PelcoNumber="3" LockTime="1" Protocol="D" StopOnRelease="1" HomePreset="5" )"
            R"(HomeAfterSecs="3" />)",
        R"(<Camera Address="127.0.0.2" Port=")" + std::to_string(yard->Port()) +
            R"(" PelcoNumber="4" LockTime="3" Protocol="D"><Patrol Presets="1,2" DwellSecs="1" )"
            R"(ResumeAfterSecs="2" /></Camera>)"};
    ServiceProcess service(config);

    const std::string home = "FF 03 00 07 00 05 0F";
    const std::string stop = "FF 03 00 00 00 00 03";
    const std::string first = "FF 04 00 07 00 01 0C";
    const std::string second = "FF 04 00 07 00 02 0D";

    // Free since the start: home once, after HomeAfterSecs.
    ASSERT_TRUE(WaitUntil([&] { return lobby->Frames().size() == 1; }, 30s)) << service.Log();
    EXPECT_EQ(lobby->Frames(), std::vector<std::string>{home});

    // The operator's hold lapses: the stop, and home again once idle.
    auto op = LogIn(service.Port(), "op", "pw");
    ASSERT_TRUE(SendMessage(*op, NumberedFrame(3, 1)));
    ASSERT_TRUE(WaitUntil([&] { return lobby->Frames().size() == 4; }, 30s))
        << lobby->Output() << service.Log();
    EXPECT_EQ(lobby->Frames(),
              (std::vector<std::string>{home, Shown(NumberedFrame(3, 1)), stop, home}));

    // The patrol goes round; the operator's command ends it before its next
    // preset: the operator's next command, sent later than that preset
    // would have come, is the next frame.
    ASSERT_TRUE(WaitUntil([&] { return yard->Frames().size() >= 3; }, 30s)) << yard->Output();
    const auto tour = yard->Frames();
    EXPECT_EQ(tour[0], first);
    EXPECT_EQ(tour[1], second);
    EXPECT_EQ(tour[2], first);
    ASSERT_TRUE(SendMessage(*op, NumberedFrame(4, 7)));
    ASSERT_TRUE(yard->WaitForNumber(7)) << yard->Output();
    std::this_thread::sleep_for(1500ms); // longer than DwellSecs
    ASSERT_TRUE(SendMessage(*op, NumberedFrame(4, 8)));
    ASSERT_TRUE(yard->WaitForNumber(8)) << yard->Output();

    // Once the hold has lapsed and ResumeAfterSecs passed: from the first preset.
    std::vector<std::string> frames;
    ASSERT_TRUE(WaitUntil(
        [&] {
            frames = yard->Frames();
            return IndexOf(frames, Shown(NumberedFrame(4, 8))) + 1 < frames.size();
        },
        30s))
        << yard->Output();
    const std::size_t seven = IndexOf(frames, Shown(NumberedFrame(4, 7)));
    EXPECT_EQ(frames[seven + 1], Shown(NumberedFrame(4, 8))) << yard->Output();
    EXPECT_EQ(frames[seven + 2], first) << yard->Output();
}

} // namespace korvel::camera_safety_process_test
