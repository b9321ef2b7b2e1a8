// The NVR worker's login, retry and stop, seen from outside: the service
// as a process, the NVR as a simulator on the loopback host.
#include "NvrHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace korvel::connection_lifecycle_test {

namespace {

const char* const LoginSucceeded = "TLAPI_Login succeeded on NVR 127.0.0.1 for user 'op'";
const char* const RetryLine =
    "TLAPI_Login failure on NVR 127.0.0.1.  Will retry at 1 second intervals\n";

} // namespace

TEST(NvrConnection, RetryLineOncePerOutageAndLoginOnceTheNvrIsUp)
{
    const ReservedPort nvrPort("127.0.0.1");
    const std::uint16_t port = nvrPort.Port();
    Service service(1, {{"127.0.0.1", port, "op", "secret", {}}});

    ASSERT_TRUE(service.AwaitLog(RetryLine)) << service.Log();
    // Several attempts fail while the NVR is away; the line stays single.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(Occurrences(service.Log(), RetryLine), 1u) << service.Log();

    NvrSim nvr("127.0.0.1:" + std::to_string(port), {"user op secret"});
    ASSERT_TRUE(service.AwaitLog(LoginSucceeded)) << service.Log();
    EXPECT_EQ(Occurrences(service.Log(), RetryLine), 1u);

    // A lost NVR that does not come back announces the next outage.
    nvr.Quit();
    ASSERT_TRUE(service.AwaitLog(RetryLine, 2)) << service.Log();
    EXPECT_EQ(Occurrences(service.Log(), LoginSucceeded), 1u);
}

TEST(NvrConnection, ReconnectsAfterTheNvrDropsTheSession)
{
    NvrSim nvr("127.0.0.1:0", {"user op secret"});
    Service service(1, {{"127.0.0.1", nvr.Port(), "op", "secret", {}}});
    ASSERT_TRUE(service.AwaitLog(LoginSucceeded)) << service.Log();
    nvr.Command("drop");
    ASSERT_TRUE(service.AwaitLog(LoginSucceeded, 2)) << service.Log();
}

TEST(NvrConnection, StopClosesEveryConnectionInAddressOrderEvenDuringALongRetrySleep)
{
    // 127.0.0.10 sorts before 127.0.0.9 byte by byte. The second NVR is
    // away and its worker sleeps an hour between attempts.
    NvrSim reachable("127.0.0.10:0", {"user op secret"});
    const ReservedPort away("127.0.0.9");
    const std::uint16_t awayPort = away.Port();
    Service service(3600, {{"127.0.0.9", awayPort, "op", "secret", {}},
                           {"127.0.0.10", reachable.Port(), "op", "secret", {}}});
    ASSERT_TRUE(service.AwaitLog("TLAPI_Login succeeded on NVR 127.0.0.10 for user 'op'"))
        << service.Log();
    ASSERT_TRUE(service.AwaitLog(
        "TLAPI_Login failure on NVR 127.0.0.9.  Will retry at 3600 second intervals"))
        << service.Log();

    service.Run().Signal(SIGTERM);
    ASSERT_TRUE(service.Run().Wait(std::chrono::seconds(15))) << "the stop waits for no retry";
    EXPECT_FALSE(service.Run().Signalled());
    EXPECT_EQ(service.Run().ExitStatus(), 0);

    const std::string log = service.Log();
    const auto first = log.find("Closing connection to NVR at 127.0.0.10.\n");
    const auto second = log.find("Closing connection to NVR at 127.0.0.9.\n");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_LT(first, second);
}

} // namespace korvel::connection_lifecycle_test
