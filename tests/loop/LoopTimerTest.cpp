// The loop timer as the hold timer and the camera links use it: on a
// simulated time source, with the loop run in the test's thread.
#include "loop/LoopTimer.h"
#include "clock/SteadyTime.h"
#include "support/SimulatedTime.h"

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::loop_timer_test {

namespace {

using namespace std::chrono_literals;

// Runs steps and writes down each handler's run as "expired at <ms>" or
// "aborted at <ms>", with " inline" when it ran inside the step's call
// rather than from the loop.
class Bench
{
public:
    std::vector<std::string> Run(const std::vector<std::string>& steps)
    {
        for (const std::string& step : steps) {
            std::istringstream words(step);
            std::string verb;
            long long ms = 0;
            words >> verb >> ms;
            inStep = true;
            if (verb == "wait") { // wait <ms> [then <ms>]: the handler waits again
                std::string then;
                long long next = 0;
                words >> then >> next;
                Wait(std::chrono::milliseconds(ms), std::chrono::milliseconds(next));
            } else if (verb == "cancel") {
                timer.Cancel();
            } else if (verb == "advance") {
                time.Advance(std::chrono::milliseconds(ms));
            } else {
                ADD_FAILURE() << "unknown step " << step;
            }
            inStep = false;
            for (int round = 0; round < 10 && (io.restart(), io.poll() > 0); ++round) {
            }
        }
        return trace;
    }

private:
    void Wait(std::chrono::milliseconds delay, std::chrono::milliseconds then)
    {
        timer.ExpiresAfter(delay);
        timer.AsyncWait([this, then](const boost::system::error_code& error) {
            const auto at =
                std::chrono::duration_cast<std::chrono::milliseconds>(time.Now() - start);
            trace.push_back(std::string(error ? "aborted" : "expired") + " at " +
                            std::to_string(at.count()) + (inStep ? " inline" : ""));
            if (!error && then.count() > 0)
                Wait(then, std::chrono::milliseconds(0));
        });
    }

    boost::asio::io_context io;
    SimulatedTime time;
    const SimulatedTime::TimePoint start = time.Now();
    LoopTimer timer{io, time};
    bool inStep = false;
    std::vector<std::string> trace;
};

} // namespace

TEST(LoopTimer, KeepsTimeOnItsTimeSourceAsASteadyTimerWould)
{
    const struct
    {
        const char* what;
        std::vector<std::string> steps;
        std::vector<std::string> trace;
    } cases[] = {
        {"expires once the time reaches the expiry, not before",
         {"wait 1000", "advance 999", "advance 1", "advance 5000"},
         {"expired at 1000"}},
        {"an expiry already reached comes at once, from the loop", {"wait 0"}, {"expired at 0"}},
        {"setting the expiry again ends the wait under way",
         {"wait 1000", "wait 2000", "advance 1000", "advance 1000"},
         {"aborted at 0", "expired at 2000"}},
        {"cancelling ends the wait from the loop; with none under way, nothing",
         {"cancel", "wait 1000", "cancel", "advance 5000"},
         {"aborted at 0"}},
        {"a handler may wait again",
         {"wait 1000 then 500", "advance 1000", "advance 500"},
         {"expired at 1000", "expired at 1500"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Bench().Run(c.steps), c.trace);
    }

    // A timer gone before the loop ran its expiry and its cancellation.
    boost::asio::io_context io;
    SimulatedTime time;
    bool ran = false;
    auto timer = std::make_unique<LoopTimer>(io, time);
    timer->ExpiresAfter(1s);
    timer->AsyncWait([&](const boost::system::error_code&) { ran = true; });
    time.Advance(1s);
    timer->Cancel();
    timer.reset();
    io.poll();
    EXPECT_FALSE(ran);

    // On the real clock, a steady_timer's wait.
    LoopTimer real(io, RealTime());
    real.ExpiresAfter(1ms);
    real.AsyncWait([&](const boost::system::error_code& error) { ran = !error; });
    io.restart();
    io.run_for(10s);
    EXPECT_TRUE(ran);
}

} // namespace korvel::loop_timer_test
