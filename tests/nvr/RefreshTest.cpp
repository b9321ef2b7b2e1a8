// What a refresh makes of the NVR, checked through the simulator's dump and
// its request log: camera ids and names, our soft triggers, the cameras'
// associations and the user event links on our triggers.
#include "NvrHarness.h"

#include <gtest/gtest.h>

#include <sstream>

namespace korvel::refresh_test {

namespace {

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line);
    return lines;
}

// The simulator's dump once the given number of associations exist.
std::string AwaitAssociations(NvrSimulator& nvr, std::size_t count)
{
    std::string dump;
    WaitUntil([&] {
        dump = nvr.Dump();
        return LinesStartingWith(dump, "association ").size() >= count;
    });
    return dump;
}

// Requests the service made of the simulator, by operation name.
std::size_t Requests(const NvrSimulator& nvr, const std::string& operation)
{
    return Occurrences(nvr.Proc().Stderr(), " " + operation + " -> ");
}

// Waits until every refresh begun has also reached its last step.
bool AwaitRefreshesEnded(const NvrSimulator& nvr)
{
    return WaitUntil([&] { return Requests(nvr, "LINK_COUNT") == Requests(nvr, "CAMERA_COUNT"); });
}

} // namespace

TEST(NvrRefresh, InventoryTriggersAndNewAssociations)
{
    NvrSimulator nvr("127.0.0.1:0",
                     {"user op secret", "camera 5 127.0.0.20 Front Door",
                      "camera 6 rtsp://127.0.0.21:554/stream Yard", "camera 7 - Lobby",
                      "camera 8 127.0.0.22.5 Dock", "camera 9 127.0.0.23 Unconfigured",
                      "camera 10 cam.local Hostname", "camera 11 - Gate", "camera 12 127.0.0.24"},
                     {"-v"});
    ServiceProcess service(ServiceConfig(1, {{"127.0.0.1",
                                              nvr.Port(),
                                              "op",
                                              "secret",
                                              {{"127.0.0.20", 1},
                                               {"127.0.0.21", 2},
                                               {"7", 3},
                                               {"127.0.0.22", 4},
                                               {"011", 5},
                                               {"127.0.0.24", 6},
                                               {"127.0.0.99", 7}}}}));

    const std::string dump = AwaitAssociations(nvr, 5);
    ASSERT_TRUE(AwaitRefreshesEnded(nvr));

    struct NameLine
    {
        const char* line;
        std::size_t count;
    };
    const NameLine nameLines[] = {
        {"Adding camera name 'Front Door' with address 127.0.0.20\n", 1},
        {"Adding camera name 'Yard' with address 127.0.0.21\n", 1},
        {"Adding analog camera name 'Lobby' with address 7\n", 1},
        {"Adding camera name 'Dock' with address 127.0.0.22\n", 1},
        {"Unconfigured", 0},            // no track camera has that address
        {"Hostname", 0},                // no dotted address in the device address
        {"Gate", 0},                    // analog id 11 is not the address 011
        {"with address 127.0.0.24", 0}, // an empty name stays empty
    };
    for (const auto& expected : nameLines)
        EXPECT_EQ(Occurrences(service.Log(), expected.line), expected.count) << expected.line;

    // One trigger for each camera with an NVR id, created in address order;
    // none for the camera the NVR does not have.
    const std::vector<std::string> triggers = {
        "trigger 1 name=\"Korvel Control\" guid=KORVEL_5",
        "trigger 2 name=\"Korvel Control\" guid=KORVEL_6",
        "trigger 3 name=\"Korvel Control\" guid=KORVEL_8",
        "trigger 4 name=\"Korvel Control\" guid=KORVEL_12",
        "trigger 5 name=\"Korvel Control\" guid=KORVEL_7",
    };
    EXPECT_EQ(LinesStartingWith(dump, "trigger "), triggers) << dump;

    const std::string association5 =
        "association camera=5 name=KORVEL_5 displayMode=4 displayWidth=50 textColour=0x808080 "
        "options=0 active=1 font=Arial fontSize=8 markerColour=0xFFFF00 markerSize=70 markerX=90 "
        "markerY=90 entries=1\n  entry 1 position=1 kind=8 trigger=1 action=2\n";
    EXPECT_NE(dump.find(association5), std::string::npos) << dump;
    EXPECT_NE(dump.find("association camera=7 name=KORVEL_7 "), std::string::npos) << dump;
    EXPECT_NE(dump.find("association camera=12 name=KORVEL_12 "), std::string::npos) << dump;
    // Each new association is stored twice: with its entry, then whole.
    EXPECT_EQ(Requests(nvr, "ASSOCIATION_UPDATE"), 10u);

    // A new name on the NVR reaches the camera at the next refresh, alone.
    nvr.Command("rename 5 Back Door");
    ASSERT_TRUE(service.AwaitLog("Adding camera name 'Back Door' with address 127.0.0.20\n"))
        << service.Log();
    ASSERT_TRUE(AwaitRefreshesEnded(nvr));
    for (const auto& expected : nameLines)
        EXPECT_EQ(Occurrences(service.Log(), expected.line), expected.count) << expected.line;
    EXPECT_EQ(Requests(nvr, "TRIGGER_CREATE"), 5u);
    EXPECT_EQ(Requests(nvr, "ASSOCIATION_UPDATE"), 10u) << "complete associations are left alone";

    // One event 3 gives one refresh: a rename announced once it has ended is
    // taken in by the second refresh, not a third.
    const std::size_t before = Requests(nvr, "CAMERA_COUNT");
    nvr.Command("refresh");
    ASSERT_TRUE(WaitUntil([&] { return Requests(nvr, "CAMERA_COUNT") > before; }));
    ASSERT_TRUE(AwaitRefreshesEnded(nvr));
    nvr.Command("rename 6 Back Yard");
    ASSERT_TRUE(service.AwaitLog("Adding camera name 'Back Yard' with address 127.0.0.21\n"))
        << service.Log();
    ASSERT_TRUE(AwaitRefreshesEnded(nvr));
    EXPECT_EQ(Requests(nvr, "CAMERA_COUNT"), before + 2);
}

TEST(NvrRefresh, ExistingTriggersAssociationsAndUserLinks)
{
    NvrSimulator nvr("127.0.0.1:0",
                     {"user op secret", "user setup setup", "camera 5 127.0.0.20 Front",
                      "camera 6 127.0.0.21 Yard", "camera 7 127.0.0.22 Dock"},
                     {"-v"});
    {
        // What users made at the NVR before the service came: triggers 1 to 7.
        NvrUser user(nvr.Host(), nvr.Port(), "setup", "setup");
        const char* const guids[] = {"DOOR_1",    "KORVEL_6",  "KORVEL_0", "KORVEL_",
                                     "KORVEL_99", "KORVELX_7", "KORVEL_ 7"};
        for (const char* guid : guids)
            user.CreateSoftTrigger("User trigger", guid);
        user.StoreAssociation(5, "Front assoc", 1, {1});
        user.StoreAssociation(6, "Yard assoc", 0, {2});
    }
    ServiceProcess service(
        ServiceConfig(1, {{"127.0.0.1",
                           nvr.Port(),
                           "op",
                           "secret",
                           {{"127.0.0.20", 1}, {"127.0.0.21", 2}, {"127.0.0.22", 3}}}}));
    std::string dump = AwaitAssociations(nvr, 3);
    ASSERT_TRUE(AwaitRefreshesEnded(nvr));
    dump = nvr.Dump();

    // Only camera 5 lacked a trigger: KORVEL_6 is camera 6's, and both
    // KORVELX_7 and "KORVEL_ 7" name camera 7.
    EXPECT_EQ(LinesStartingWith(dump, "trigger 8 "),
              std::vector<std::string>{"trigger 8 name=\"Korvel Control\" guid=KORVEL_5"});
    EXPECT_EQ(LinesStartingWith(dump, "trigger 9 ").size(), 0u);

    const char* const associations[] = {
        // Extended: its own fields and entry kept, ours added at the end.
        "association camera=5 name=\"Front assoc\" displayMode=1 displayWidth=20 "
        "textColour=0x123456 options=0 active=1 font=Courier fontSize=12 markerColour=0x0 "
        "markerSize=0 markerX=0 markerY=0 entries=2\n"
        "  entry 1 position=1 kind=8 trigger=1 action=2\n"
        "  entry 2 position=2 kind=8 trigger=8 action=2\n",
        // Already complete: not stored again (it would have become active).
        "association camera=6 name=\"Yard assoc\" displayMode=1 displayWidth=20 "
        "textColour=0x123456 options=0 active=0 font=Courier fontSize=12 markerColour=0x0 "
        "markerSize=0 markerX=0 markerY=0 entries=1\n"
        "  entry 1 position=1 kind=8 trigger=2 action=2\n",
        // New, listing both of the camera's triggers.
        "association camera=7 name=KORVEL_7 displayMode=4 displayWidth=50 textColour=0x808080 "
        "options=0 active=1 font=Arial fontSize=8 markerColour=0xFFFF00 markerSize=70 markerX=90 "
        "markerY=90 entries=2\n"
        "  entry 1 position=1 kind=8 trigger=6 action=2\n"
        "  entry 2 position=2 kind=8 trigger=7 action=2\n",
    };
    for (const char* association : associations)
        EXPECT_NE(dump.find(association), std::string::npos) << association << "\n" << dump;
    EXPECT_EQ(LinesStartingWith(dump, "association ").size(), 3u) << dump;

    // User links on our triggers are detached; the others stay.
    struct LinkCase
    {
        unsigned trigger;
        bool detached;
    };
    const LinkCase links[] = {{1, false}, {2, true}, {3, false}, {5, false},
                              {6, true},  {7, true}, {8, true}};
    for (const auto& link : links)
        nvr.Command("link " + std::to_string(link.trigger));
    for (const auto& link : links) {
        const std::string removed =
            "Removed user-assigned event link trying to use Korvel soft trigger " +
            std::to_string(link.trigger) + "\n";
        if (link.detached) {
            EXPECT_TRUE(service.AwaitLog(removed)) << service.Log();
        }
    }
    ASSERT_TRUE(AwaitRefreshesEnded(nvr));
    dump = nvr.Dump();
    unsigned linkId = 0;
    for (const auto& link : links) {
        ++linkId;
        const std::string removed =
            "Removed user-assigned event link trying to use Korvel soft trigger " +
            std::to_string(link.trigger) + "\n";
        EXPECT_EQ(Occurrences(service.Log(), removed), link.detached ? 1u : 0u) << removed;
        const std::string stillUsed = std::to_string(link.trigger) + " source=1 ";
        const std::string expected = "link " + std::to_string(linkId) +
                                     " trigger=" + (link.detached ? "0 source=0 " : stillUsed);
        EXPECT_NE(dump.find(expected), std::string::npos) << expected << "\n" << dump;
    }
}

} // namespace korvel::refresh_test
