// A refused login ends the worker for good. The refusal is judged when the
// login wait ends, a minute after the request, so this test is slow.
#include "NvrHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace korvel::wrong_password_test {

TEST(NvrConnection, RefusedLoginIsLoggedAndEndsTheWorker)
{
    NvrSim nvr("127.0.0.1:0", {"user op secret", "camera 5 127.0.0.20 Front Door"});
    Service service(1, {{"127.0.0.1", nvr.Port(), "op", "wrong", {{"127.0.0.20", 3}}}});

    const std::string refused =
        "TLAPI_Login failure on NVR 127.0.0.1 for user 'op': incorrect user/password\n";
    ASSERT_TRUE(service.AwaitLog(refused, 1, std::chrono::seconds(90))) << service.Log();

    // An ended worker neither retries nor logs in again.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::string log = service.Log();
    EXPECT_EQ(Occurrences(log, refused), 1u) << log;
    EXPECT_EQ(Occurrences(log, "Will retry"), 0u) << log;
    EXPECT_EQ(Occurrences(log, "TLAPI_Login succeeded"), 0u) << log;

    service.Run().Signal(SIGTERM);
    ASSERT_TRUE(service.Run().Wait(std::chrono::seconds(15)));
    EXPECT_EQ(service.Run().ExitStatus(), 0);
    EXPECT_EQ(Occurrences(service.Log(), "Closing connection to NVR at 127.0.0.1.\n"), 1u);
}

} // namespace korvel::wrong_password_test
