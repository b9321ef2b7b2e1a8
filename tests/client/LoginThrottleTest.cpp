// The failed-login throttle on simulated time: who is answered at once, when
// a held-back FAILURE may go, and what makes an address start afresh.
#include "client/LoginThrottle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::login_throttle_test {

namespace {

using Clock = LoginThrottle::Clock;
using std::chrono::milliseconds;

const Clock::time_point Start = Clock::time_point() + std::chrono::hours(100);

struct Step
{
    int atMs;
    const char* address;
    bool passed;  // a LOGIN that passed, else one that failed
    int answerMs; // failed: when its FAILURE may go; -1 for at once
};

std::vector<Step> FiveFailuresAt(int atMs, const char* address = "10.0.0.1")
{
    return std::vector<Step>(5, Step{atMs, address, false, -1});
}

std::vector<Step> operator+(std::vector<Step> first, const std::vector<Step>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

} // namespace

TEST(LoginThrottle, HoldsBackFailuresBeyondFiveAMinuteOneAtATime)
{
    const struct
    {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"five mistakes in a minute are answered at once",
         {{0, "10.0.0.1", false, -1},
          {10000, "10.0.0.1", false, -1},
          {20000, "10.0.0.1", false, -1},
          {30000, "10.0.0.1", false, -1},
          {59000, "10.0.0.1", false, -1}}},
        {"then each waits for the one before, the delay doubling up to 30 s",
         FiveFailuresAt(0) + std::vector<Step>{{0, "10.0.0.1", false, 1000},
                                               {0, "10.0.0.1", false, 3000},
                                               {0, "10.0.0.1", false, 7000},
                                               {0, "10.0.0.1", false, 15000},
                                               {0, "10.0.0.1", false, 31000},
                                               {0, "10.0.0.1", false, 61000},
                                               {0, "10.0.0.1", false, 91000}}},
        {"a failure after the previous answer's due time waits its delay from now",
         FiveFailuresAt(0) + std::vector<Step>{{0, "10.0.0.1", false, 1000},
                                               {5000, "10.0.0.1", false, 7000},
                                               {8000, "10.0.0.1", false, 12000}}},
        {"failures that left the minute no longer count",
         {{0, "10.0.0.1", false, -1},
          {10000, "10.0.0.1", false, -1},
          {20000, "10.0.0.1", false, -1},
          {30000, "10.0.0.1", false, -1},
          {40000, "10.0.0.1", false, -1},
          {60000, "10.0.0.1", false, -1},
          {61000, "10.0.0.1", false, 62000}}},
        {"a minute without a failure after the last answer starts afresh",
         FiveFailuresAt(0) + std::vector<Step>{{0, "10.0.0.1", false, 1000},
                                               {60999, "10.0.0.1", false, 62999},
                                               {122999, "10.0.0.1", false, -1}}},
        {"a login that passes starts the address afresh",
         FiveFailuresAt(0) + std::vector<Step>{{0, "10.0.0.1", false, 1000},
                                               {500, "10.0.0.1", true, -1},
                                               {600, "10.0.0.1", false, -1}}},
        {"addresses are counted apart",
         FiveFailuresAt(0, "10.0.0.1") + FiveFailuresAt(0, "::1") +
             std::vector<Step>{{0, "10.0.0.1", false, 1000},
                               {0, "10.0.0.2", false, -1},
                               {0, "::1", false, 1000},
                               {0, "10.0.0.1", true, -1},
                               {0, "::1", false, 3000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoginThrottle throttle;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            const Clock::time_point now = Start + milliseconds(step.atMs);
            if (step.passed) {
                throttle.Passed(step.address);
                continue;
            }
            const auto due = throttle.Failed(step.address, now);
            if (step.answerMs < 0) {
                EXPECT_FALSE(due) << "held back";
            } else {
                ASSERT_TRUE(due) << "answered at once";
                EXPECT_EQ(*due - Start, milliseconds(step.answerMs));
            }
        }
    }
}

// A flood of failures from ever new addresses: the table keeps at most
// MaxAddresses, giving up the address quiet longest, and forgets them all a
// minute later.
TEST(LoginThrottle, MemoryStaysBoundedUnderAFloodOfAddresses)
{
    LoginThrottle throttle;
    for (const auto& step : FiveFailuresAt(0, "quiet"))
        EXPECT_FALSE(throttle.Failed(step.address, Start));
    for (std::size_t i = 0; i < LoginThrottle::MaxAddresses + 100; ++i)
        throttle.Failed("10.1." + std::to_string(i), Start + milliseconds(1));
    EXPECT_EQ(throttle.Tracked(), LoginThrottle::MaxAddresses);
    EXPECT_FALSE(throttle.Failed("quiet", Start + milliseconds(2)))
        << "the address quiet longest was the first to go";

    throttle.Failed("late", Start + std::chrono::seconds(61));
    EXPECT_EQ(throttle.Tracked(), 1u) << "a minute later only the newest is left";
}

} // namespace korvel::login_throttle_test
