// The failed-login throttle on simulated time: who is answered at once, when
// a held-back FAILURE may go, and what makes a count start afresh.
#include "client/LoginThrottle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::login_throttle_test {

namespace {

using Clock = LoginThrottle::Clock;
using std::chrono::milliseconds;

const Clock::time_point Start = Clock::time_point() + std::chrono::hours(100);

// Whole milliseconds, as the table gives them.
Clock::duration Seconds(double seconds)
{
    return std::chrono::round<milliseconds>(std::chrono::duration<double>(seconds));
}

// A failed LOGIN at `at` seconds and when its FAILURE may go (-1: at once),
// or a LOGIN that passed; for a user's name, or (empty) a name no user has.
struct Step
{
    double at;
    double answer;
    const char* address = "10.0.0.1";
    bool passed = false;
    const char* user = "";
};

std::vector<Step> FiveFailures(const char* address = "10.0.0.1", const char* user = "")
{
    return std::vector<Step>(5, Step{0, -1, address, false, user});
}

std::vector<Step> operator+(std::vector<Step> first, const std::vector<Step>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

} // namespace

TEST(LoginThrottle, HoldsBackFailuresBeyondFiveAMinuteOneAtATime)
{
    using Then = std::vector<Step>;
    const struct
    {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"five mistakes in a minute are answered at once",
         {{0, -1}, {10, -1}, {20, -1}, {30, -1}, {59, -1}}},
        {"then each waits for the one before, the delay doubling up to 30 s",
         FiveFailures() + Then{{0, 1}, {0, 3}, {0, 7}, {0, 15}, {0, 31}, {0, 61}, {0, 91}}},
        {"a failure after the previous answer's due time waits its delay from now",
         FiveFailures() + Then{{0, 1}, {5, 7}, {8, 12}}},
        {"failures that left the minute no longer count",
         {{0, -1}, {10, -1}, {20, -1}, {30, -1}, {40, -1}, {60, -1}, {61, 62}}},
        {"a minute without a failure after the last answer starts afresh",
         FiveFailures() + Then{{0, 1}, {60.999, 62.999}, {122.999, -1}}},
        {"a login that passes starts its user's count afresh",
         FiveFailures("10.0.0.1", "chief") + Then{{0, 1, "10.0.0.1", false, "chief"},
                                                  {0.5, -1, "10.0.0.1", true, "chief"},
                                                  {0.6, -1, "10.0.0.1", false, "chief"}}},
        {"each user's name counts apart, and names no user has count for the address",
         FiveFailures() + FiveFailures("10.0.0.1", "chief") +
             Then{{0, 1},
                  {0, -1, "10.0.0.1", false, "guard"},
                  {0, 1, "10.0.0.1", false, "chief"},
                  {0, 3},
                  {0, 3, "10.0.0.1", false, "chief"}}},
        {"a login that passes starts no other count afresh: an insider's own account, or a "
         "user without a password",
         FiveFailures("10.0.0.1", "chief") + FiveFailures() +
             Then{{0, 1, "10.0.0.1", false, "chief"},
                  {0.1, -1, "10.0.0.1", true, "crew"},
                  {0.2, 3, "10.0.0.1", false, "chief"},
                  {0.3, 1.3},
                  {0.4, -1, "10.0.0.1", true},
                  {0.5, 7, "10.0.0.1", false, "chief"}}},
        {"addresses are counted apart", FiveFailures() + FiveFailures("::1") +
                                            Then{{0, 1},
                                                 {0, -1, "10.0.0.2"},
                                                 {0, 1, "::1"},
                                                 {0, -1, "10.0.0.1", true},
                                                 {0, 3, "::1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoginThrottle throttle;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            if (step.passed) {
                throttle.Passed(step.address, step.user);
                continue;
            }
            const auto due = throttle.Failed(step.address, step.user, Start + Seconds(step.at));
            if (step.answer < 0) {
                EXPECT_FALSE(due) << "held back";
            } else {
                ASSERT_TRUE(due) << "answered at once";
                EXPECT_EQ(*due - Start, Seconds(step.answer));
            }
        }
    }
}

// A flood of failures from ever new addresses: the table keeps at most
// MaxTracked counts, giving up the one quiet longest, and forgets them all a
// minute later.
TEST(LoginThrottle, MemoryStaysBoundedUnderAFloodOfAddresses)
{
    LoginThrottle throttle;
    for (const auto& step : FiveFailures("quiet"))
        EXPECT_FALSE(throttle.Failed(step.address, "", Start));
    for (std::size_t i = 0; i < LoginThrottle::MaxTracked + 100; ++i)
        throttle.Failed("10.1." + std::to_string(i), i % 2 ? "chief" : "", Start + milliseconds(1));
    EXPECT_EQ(throttle.Tracked(), LoginThrottle::MaxTracked);
    EXPECT_FALSE(throttle.Failed("quiet", "", Start + milliseconds(2)))
        << "the count quiet longest was the first to go";

    throttle.Failed("late", "", Start + std::chrono::seconds(61));
    EXPECT_EQ(throttle.Tracked(), 1u) << "a minute later only the newest is left";
}

} // namespace korvel::login_throttle_test
