// The service's stop closes its NVR connections, seen from outside: the
// service as a process, the NVRs as simulators on the loopback host. The
// worker's own login, retry and stop run on simulated time in
// NvrWorkerTest.cpp.
#include "NvrHarness.h"

#include <gtest/gtest.h>

#include <csignal>

namespace korvel::connection_lifecycle_test {

TEST(NvrConnection, StopClosesEveryConnectionInAddressOrderEvenDuringALongRetrySleep)
{
    // 127.0.0.10 sorts before 127.0.0.9 byte by byte. The second NVR is
    // away and its worker sleeps an hour between attempts.
    NvrSimulator reachable("127.0.0.10:0", {"user op secret"});
    const ReservedPort away("127.0.0.9");
    const std::uint16_t awayPort = away.Port();
    ServiceProcess service(
        ServiceConfig(3600, {{"127.0.0.9", awayPort, "op", "secret", {}},
                             {"127.0.0.10", reachable.Port(), "op", "secret", {}}}));
    ASSERT_TRUE(service.AwaitLog("TLAPI_Login succeeded on NVR 127.0.0.10 for user 'op'"))
        << service.Log();
    ASSERT_TRUE(service.AwaitLog(
        "TLAPI_Login failure on NVR 127.0.0.9.  Will retry at 3600 second intervals"))
        << service.Log();

    service.Proc().Signal(SIGTERM);
    ASSERT_TRUE(service.Proc().Wait(std::chrono::seconds(15))) << "the stop waits for no retry";
    EXPECT_FALSE(service.Proc().Signalled());
    EXPECT_EQ(service.Proc().ExitStatus(), 0);

    const std::string log = service.Log();
    const auto first = log.find("Closing connection to NVR at 127.0.0.10.\n");
    const auto second = log.find("Closing connection to NVR at 127.0.0.9.\n");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_LT(first, second);
}

} // namespace korvel::connection_lifecycle_test
