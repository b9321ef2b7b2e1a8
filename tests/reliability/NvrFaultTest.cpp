// The NVR goes away under the service: it drops every session but keeps its
// records, or its process is killed and started again with none of them.
// Each time the service logs in again, refreshes, and leaves exactly one
// soft trigger of its own per camera, which still hands the camera over.
#include "support/Camsim.h"
#include "support/ConsoleTexts.h"
#include "support/NvrSimulator.h"
#include "support/OperatorClient.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <functional>

namespace korvel::nvr_fault_test {

namespace {

const char* const LoginLine = "TLAPI_Login succeeded on NVR 127.0.0.1 for user 'op'";
const char* const RetryLine = "TLAPI_Login failure on NVR 127.0.0.1.  Will retry at 1 second "
                              "intervals";
const std::vector<std::string> NvrRecords = {"user op secret", "camera 5 127.0.0.20 Front"};

// The NVR holds exactly one trigger, ours for camera 5, and the camera's
// association lists it once.
bool CarriesOneTriggerOfOurs(NvrSimulator& nvr, std::string& dump)
{
    dump = nvr.Command("dump");
    return Occurrences(dump, "\ntrigger ") + (dump.rfind("trigger ", 0) == 0 ? 1 : 0) == 1 &&
           Occurrences(dump, "trigger 1 name=\"Korvel Control\" guid=KORVEL_5\n") == 1 &&
           Occurrences(dump, "association camera=5 ") == 1 &&
           Occurrences(dump, "  entry 1 position=1 kind=8 trigger=1 ") == 1 &&
           Occurrences(dump, "  entry 2 ") == 0;
}

} // namespace

TEST(NvrFaults, NvrDroppedOrKilledAndRestarted)
{
    auto camera = Camsim::Tcp(0, "127.0.0.20");
    auto nvr = std::make_unique<NvrSimulator>("127.0.0.1:0", NvrRecords);
    const std::uint16_t nvrPort = nvr->Port();
    ServiceSetup setup;
    setup.nvr = R"(Address="127.0.0.1" Port=")" + std::to_string(nvrPort) +
                R"(" Login="op" Password="secret")";
    setup.cameras = {R"(<Camera Address="127.0.0.20" Port=")" + std::to_string(camera->Port()) +
                     R"(" PelcoNumber="3" />)"};
    ServiceProcess service(setup);
    std::string dump;
    ASSERT_TRUE(WaitUntil([&] { return CarriesOneTriggerOfOurs(*nvr, dump); })) << dump;

    auto chooser = Greeted(service.Port());
    const auto triggerHandsTheCameraOver = [&] {
        if (!SendMessage(*chooser, "CHOOSE"))
            return std::string("CHOOSE was not read");
        nvr->Command("fire KORVEL_5");
        const std::string expected = "0CAMERA\t127.0.0.20\t3\tFront";
        return chooser->Read(expected.size());
    };
    ASSERT_EQ(triggerHandsTheCameraOver(), "0CAMERA\t127.0.0.20\t3\tFront");
    const Footprint baseline = service.Settled();

    const struct
    {
        const char* fault;
        std::function<void()> inject;
        int outages; // retry lines expected so far
    } faults[] = {
        {"the NVR drops every session and keeps its records", [&] { nvr->Command("drop"); }, 0},
        {"the NVR is killed and started again without its records",
         [&] {
             nvr->Kill();
             // Several attempts fail while it is away.
             ASSERT_TRUE(service.WaitForLog("TLAPI_Open() failure", 3)) << service.Log();
             nvr =
                 std::make_unique<NvrSimulator>("127.0.0.1:" + std::to_string(nvrPort), NvrRecords);
         },
         1},
    };
    int logins = 1;
    for (const auto& c : faults) {
        SCOPED_TRACE(c.fault);
        c.inject();
        ++logins;
        ASSERT_TRUE(service.WaitForLog(LoginLine, logins)) << service.Log();
        EXPECT_TRUE(WaitUntil([&] { return CarriesOneTriggerOfOurs(*nvr, dump); }))
            << "refreshed after the new login, no duplicates\n"
            << dump;
        EXPECT_EQ(triggerHandsTheCameraOver(), "0CAMERA\t127.0.0.20\t3\tFront");
        EXPECT_EQ(service.CountLog(RetryLine), c.outages) << service.Log();
        EXPECT_EQ(service.CountLog(LoginLine), logins) << service.Log();
        ExpectRecovered(service, baseline);
    }
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

} // namespace korvel::nvr_fault_test
