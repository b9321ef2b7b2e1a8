// A fired soft trigger of ours hands its camera to the operator in choose
// mode, and to nobody when no operator is choosing.
#include "NvrHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace korvel::trigger_fire_test {

TEST(NvrTriggerFire, HandsTheCameraToTheChoosingOperatorOnly)
{
    NvrSimulator nvr("127.0.0.1:0", {"user op secret", "camera 5 127.0.0.20 Front Door",
                                     "camera 6 127.0.0.21 Yard", "user setup setup"});
    {
        NvrUser user(nvr.Host(), nvr.Port(), "setup", "setup");
        user.CreateSoftTrigger("Door", "DOOR_1"); // trigger 1, not ours
    }
    ServiceProcess service(ServiceConfig(
        1, {{"127.0.0.1", nvr.Port(), "op", "secret", {{"127.0.0.20", 3}, {"127.0.0.21", 4}}}}));
    // Triggers 2 (KORVEL_5) and 3 (KORVEL_6) exist and are known once the
    // associations that list them are made.
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(nvr.Dump(), "association camera=") == 2; }))
        << nvr.Dump();

    const auto chooser = Greeted(service.Port());
    const auto bystander = Greeted(service.Port());
    const std::string yard = "0CAMERA\t127.0.0.21\t4\tYard";
    chooser->Send("CHOOSE");
    EXPECT_EQ(FireUntilHandedOver(nvr, *chooser, {"KORVEL_6"}, yard), yard);

    // Nobody is choosing now, and trigger 1 is not ours (NvrWorkerTest.cpp
    // shows that the worker reports no such fire; the client service's
    // tables, that a fire with nobody choosing hands over nothing).
    nvr.Command("fire KORVEL_5");
    nvr.Command("fire 1");

    const std::string frontDoor = "0CAMERA\t127.0.0.20\t3\tFront Door";
    chooser->Send("CHOOSE");
    EXPECT_EQ(FireUntilHandedOver(nvr, *chooser, {"1", "KORVEL_5"}, frontDoor), frontDoor);
    // The answer to a LOGIN is all that either has still to read: the camera
    // was handed over once, and to the chooser alone.
    for (OperatorClient* workstation : {chooser.get(), bystander.get()})
        ExpectOnlyAnswer(*workstation, "LOGIN nobody x", "FAILURE");
}

TEST(NvrTriggerFire, TwoNvrsCarryTriggersForEveryKnownCameraAndBothHandCamerasOver)
{
    NvrSimulator front("127.0.0.1:0", {"user op secret", "camera 5 127.0.0.20 Front"});
    NvrSimulator back("127.0.0.2:0", {"user op secret", "camera 9 127.0.0.30 Back"});
    ServiceProcess service(
        ServiceConfig(1, {{"127.0.0.1", front.Port(), "op", "secret", {{"127.0.0.20", 1}}},
                          {"127.0.0.2", back.Port(), "op", "secret", {{"127.0.0.30", 2}}}}));
    const auto carries = [](NvrSimulator& nvr, const std::vector<std::string>& texts) {
        return WaitUntil([&] {
            const std::string dump = nvr.Dump();
            for (const auto& text : texts)
                if (dump.find(text) == std::string::npos)
                    return false;
            return true;
        });
    };
    ASSERT_TRUE(carries(front, {"guid=KORVEL_5", "association camera=5 "})) << front.Dump();
    ASSERT_TRUE(carries(back, {"guid=KORVEL_9", "association camera=9 "})) << back.Dump();

    // Once each has refreshed after the other learnt its camera, both NVRs
    // carry a trigger and an association for both cameras.
    front.Command("refresh");
    back.Command("refresh");
    const std::vector<std::string> both = {"guid=KORVEL_5", "guid=KORVEL_9",
                                           "association camera=5 ", "association camera=9 "};
    EXPECT_TRUE(carries(front, both)) << front.Dump();
    EXPECT_TRUE(carries(back, both)) << back.Dump();

    const auto chooser = Greeted(service.Port());
    const std::string backCamera = "0CAMERA\t127.0.0.30\t2\tBack";
    const std::string frontCamera = "0CAMERA\t127.0.0.20\t1\tFront";
    chooser->Send("CHOOSE");
    EXPECT_EQ(FireUntilHandedOver(back, *chooser, {"KORVEL_9"}, backCamera), backCamera);
    chooser->Send("CHOOSE");
    EXPECT_EQ(FireUntilHandedOver(front, *chooser, {"KORVEL_5"}, frontCamera), frontCamera);
}

} // namespace korvel::trigger_fire_test
