// Every request/reply call of the NVR client library against nvrsim: the
// camera inventory, soft triggers, associations and event links, with the
// records and events they produce.

#include "SimHarness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace korvel::records_test {

// Outside an anonymous namespace: the tests derive from it.
class TlapiRecords : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim.Command("user admin secret");
        ASSERT_EQ(client.Connect(sim.Port(), "admin", "secret"), 0);
        h = client.Handle();
    }

    // Creates a soft trigger and returns the id its event 39 confirms.
    uint32_t CreateTrigger(const char* guid)
    {
        EXPECT_EQ(TLAPI_CreateSoftTriggerWithGuid(h, "Korvel Control", guid), 0);
        SeenEvent created;
        EXPECT_TRUE(client.WaitFor(TLAPI_EVENT_TRIGGER_CREATED, created));
        return created.U32At(12);
    }

    static TLAPI_ASSOCIATION NewAssociation(char* name, char* font, uint32_t cameraId)
    {
        TLAPI_ASSOCIATION a{};
        a.size = sizeof a;
        a.name = name;
        a.font = font;
        std::snprintf(name, TLAPI_TEXT_BUFFER_SIZE, "KORVEL_%u", cameraId);
        std::snprintf(font, TLAPI_TEXT_BUFFER_SIZE, "Arial");
        a.nameLength = static_cast<uint32_t>(std::strlen(name) + 1);
        a.cameraId = cameraId;
        a.displayMode = 4;
        a.displayWidth = 50;
        a.textColour = 0x808080;
        a.options = 0;
        a.active = 1;
        a.fontSize = 8;
        a.markerColour = 0xFFFF00;
        a.markerSize = 70;
        a.markerX = 90;
        a.markerY = 90;
        return a;
    }

    static TLAPI_ASSOCIATION_ENTRY Entry(uint32_t position, uint32_t triggerId)
    {
        return TLAPI_ASSOCIATION_ENTRY{32, position, 8, triggerId, 0, 0, 0, 2};
    }

    NvrSimulator sim;
    Client client;
    TLAPI_HANDLE h = 0;
};

TEST_F(TlapiRecords, CameraInventoryRoundTrip)
{
    struct Camera
    {
        uint32_t id;
        const char* command;
        const char* address;
        const char* name;
    };
    const Camera cameras[] = {
        {3, "camera 3 - Yard", "", "Yard"},
        {7, "camera 7 rtsp://10.0.0.5:554/stream Gate  with   blanks", "rtsp://10.0.0.5:554/stream",
         "Gate  with   blanks"},
        {12, "camera 12 192.168.1.20", "192.168.1.20", ""},
    };
    for (const Camera& c : cameras)
        sim.Command(c.command);

    ASSERT_EQ(TLAPI_NumCameras(h), 3u);
    for (uint32_t index = 0; index < 3; ++index) {
        const Camera& c = cameras[index];
        SCOPED_TRACE(c.command);
        EXPECT_EQ(TLAPI_GetCameraId(h, index), c.id) << "ascending id order";
        char address[256];
        char name[256];
        std::memset(address, 'x', sizeof address);
        std::memset(name, 'x', sizeof name);
        EXPECT_EQ(TLAPI_GetDeviceIP(h, c.id, address, sizeof address), 0);
        EXPECT_EQ(TLAPI_GetCameraName(h, c.id, name, sizeof name), 0);
        EXPECT_STREQ(address, c.address);
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(name[255], '\0');
    }
    EXPECT_EQ(TLAPI_GetCameraId(h, 3), 0u) << "index past the end";

    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(TLAPI_GetDeviceIP(h, 7, small, sizeof small), 0);
    EXPECT_STREQ(small, "rtsp://") << "cut to the buffer, NUL-terminated";

    char missing[16] = "leftover";
    EXPECT_EQ(TLAPI_GetCameraName(h, 99, missing, sizeof missing), TLAPI_STATUS_NOT_FOUND);
    EXPECT_STREQ(missing, "");
    EXPECT_NE(TLAPI_GetCameraName(h, 3, nullptr, 256), 0);
    EXPECT_NE(TLAPI_GetCameraName(h, 3, small, 0), 0);

    client.ClearEvents();
    sim.Command("rename 3 Back yard");
    SeenEvent refresh;
    EXPECT_TRUE(client.WaitFor(TLAPI_EVENT_REFRESH_DUE, refresh));
    char name[256] = {};
    TLAPI_GetCameraName(h, 3, name, sizeof name);
    EXPECT_STREQ(name, "Back yard");
}

TEST_F(TlapiRecords, SoftTriggersAreCreatedConfirmedListedAndFired)
{
    client.ClearEvents();
    const uint32_t first = CreateTrigger("KORVEL_12");
    EXPECT_EQ(first, 1u) << "numbered from 1";
    SeenEvent refresh;
    EXPECT_TRUE(client.WaitFor(TLAPI_EVENT_REFRESH_DUE, refresh)) << "a new trigger is announced";
    const uint32_t second = CreateTrigger("KORVELX_7");
    EXPECT_EQ(second, 2u);

    const auto events = client.Events();
    ASSERT_FALSE(events.empty());
    const SeenEvent& confirmation = events[0];
    EXPECT_EQ(confirmation.type, TLAPI_EVENT_TRIGGER_CREATED);
    ASSERT_EQ(confirmation.length, 20);
    EXPECT_EQ(confirmation.record[9], 1) << "creation confirmed";

    ASSERT_EQ(TLAPI_NumSoftTriggers(h), 2u);
    EXPECT_EQ(TLAPI_GetSoftTriggerId(h, 0), 1u);
    EXPECT_EQ(TLAPI_GetSoftTriggerId(h, 1), 2u);
    char guid[256];
    EXPECT_EQ(TLAPI_GetSoftTriggerGuid(h, 2, guid, sizeof guid), 0);
    EXPECT_STREQ(guid, "KORVELX_7");
    EXPECT_NE(sim.Command("dump").find("trigger 1 name=\"Korvel Control\" guid=KORVEL_12\n"),
              std::string::npos);

    for (const char* which : {"KORVEL_12", "2"}) {
        SCOPED_TRACE(which);
        sim.Command(std::string("fire ") + which);
        SeenEvent fired;
        ASSERT_TRUE(client.WaitFor(TLAPI_EVENT_SOFT_TRIGGER, fired));
        EXPECT_NE(fired.code, 0);
        EXPECT_EQ(fired.U32At(12), std::string(which) == "2" ? 2u : 1u)
            << "trigger id at offset 12";
    }

    const std::string longGuid(256, 'K');
    const struct
    {
        const char* name;
        const char* guid;
        int result;
    } refused[] = {
        {"Korvel Control", "", TLAPI_STATUS_INVALID_ARGUMENT},
        {"", "KORVEL_1", TLAPI_STATUS_INVALID_ARGUMENT},
        {"Korvel Control", longGuid.c_str(), TLAPI_STATUS_INVALID_ARGUMENT},
        {nullptr, "KORVEL_1", -1},
        {"Korvel Control", nullptr, -1},
    };
    for (const auto& r : refused)
        EXPECT_EQ(TLAPI_CreateSoftTriggerWithGuid(h, r.name, r.guid), r.result);
    EXPECT_EQ(TLAPI_NumSoftTriggers(h), 2u);
}

TEST_F(TlapiRecords, AssociationLifecycle)
{
    const uint32_t trigger = CreateTrigger("KORVEL_12");
    const uint32_t other = CreateTrigger("KORVEL_13");
    char name[TLAPI_TEXT_BUFFER_SIZE];
    char font[TLAPI_TEXT_BUFFER_SIZE];

    // No association yet.
    TLAPI_ASSOCIATION probe{};
    probe.size = sizeof probe;
    probe.name = name;
    probe.font = font;
    std::strcpy(name, "stale");
    EXPECT_EQ(TLAPI_GetAssociationForCamera(h, 12, &probe), 0);
    EXPECT_EQ(probe.nameLength, 0u);
    EXPECT_EQ(probe.entryCount, 0u);
    EXPECT_STREQ(name, "");

    // Created from the record, with one entry.
    TLAPI_ASSOCIATION created = NewAssociation(name, font, 12);
    TLAPI_ASSOCIATION_ENTRY entries[2] = {Entry(1, trigger), Entry(2, other)};
    created.entries = entries;
    created.entryCount = 1;
    EXPECT_EQ(TLAPI_UpdateAssociation(h, &created), 0);
    EXPECT_NE(sim.Command("dump").find(
                  "association camera=12 name=KORVEL_12 displayMode=4 displayWidth=50 "
                  "textColour=0x808080 "
                  "options=0 active=1 font=Arial fontSize=8 markerColour=0xFFFF00 markerSize=70 "
                  "markerX=90 "
                  "markerY=90 entries=1\n  entry 1 position=1 kind=8 trigger=1 action=2\n"),
              std::string::npos)
        << sim.Answer("dump");

    // First call learns the count, the second fills blank entries.
    TLAPI_ASSOCIATION read{};
    read.size = sizeof read;
    read.name = name;
    read.font = font;
    read.entryCount = 77; // ignored without an array
    EXPECT_EQ(TLAPI_GetAssociationForCamera(h, 12, &read), 0);
    EXPECT_EQ(read.nameLength, 10u);
    EXPECT_STREQ(name, "KORVEL_12");
    EXPECT_STREQ(font, "Arial");
    EXPECT_EQ(read.cameraId, 12u);
    EXPECT_EQ(read.displayMode, 4u);
    EXPECT_EQ(read.displayWidth, 50u);
    EXPECT_EQ(read.textColour, 0x808080u);
    EXPECT_EQ(read.active, 1u);
    EXPECT_EQ(read.fontSize, 8u);
    EXPECT_EQ(read.markerColour, 0xFFFF00u);
    EXPECT_EQ(read.markerSize, 70u);
    EXPECT_EQ(read.markerX, 90u);
    EXPECT_EQ(read.markerY, 90u);
    ASSERT_EQ(read.entryCount, 1u);
    std::vector<TLAPI_ASSOCIATION_ENTRY> blank(read.entryCount,
                                               TLAPI_ASSOCIATION_ENTRY{32, 0, 0, 0, 0, 0, 0, 0});
    read.entries = blank.data();
    EXPECT_EQ(TLAPI_GetAssociationForCamera(h, 12, &read), 0);
    EXPECT_EQ(blank[0].position, 1u);
    EXPECT_EQ(blank[0].kind, 8u);
    EXPECT_EQ(blank[0].softTriggerId, trigger);
    EXPECT_EQ(blank[0].action, 2u);

    // Replaced wholly: two entries and a new marker; a smaller array is
    // filled as far as it goes while the count tells the whole.
    read.entries = entries;
    read.entryCount = 2;
    read.markerX = 10;
    EXPECT_EQ(TLAPI_UpdateAssociation(h, &read), 0);
    TLAPI_ASSOCIATION_ENTRY one[1] = {{32, 0, 0, 0, 0, 0, 0, 0}};
    TLAPI_ASSOCIATION partial{};
    partial.size = sizeof partial;
    partial.entries = one;
    partial.entryCount = 1;
    EXPECT_EQ(TLAPI_GetAssociationForCamera(h, 12, &partial), 0)
        << "name and font buffers are optional";
    EXPECT_EQ(partial.entryCount, 2u);
    EXPECT_EQ(partial.markerX, 10u);
    EXPECT_EQ(one[0].softTriggerId, trigger);
}

TEST_F(TlapiRecords, AssociationRecordsWithWrongSizesAreRejected)
{
    const uint32_t trigger = CreateTrigger("KORVEL_5");
    char name[TLAPI_TEXT_BUFFER_SIZE];
    char font[TLAPI_TEXT_BUFFER_SIZE];
    TLAPI_ASSOCIATION_ENTRY entry = Entry(1, trigger);

    struct Case
    {
        const char* what;
        std::function<void(TLAPI_ASSOCIATION&)> spoil;
        int result;
    };
    const Case cases[] = {
        {"record size of a 32-bit build", [](TLAPI_ASSOCIATION& a) { a.size = 72; }, -1},
        {"record size 0", [](TLAPI_ASSOCIATION& a) { a.size = 0; }, -1},
        {"entry size wrong", [](TLAPI_ASSOCIATION& a) { a.entries->size = 28; }, -1},
        {"entries missing", [](TLAPI_ASSOCIATION& a) { a.entries = nullptr; }, -1},
        {"too many entries", [](TLAPI_ASSOCIATION& a) { a.entryCount = 100000; }, -1},
        {"no name buffer", [](TLAPI_ASSOCIATION& a) { a.name = nullptr; }, -1},
        {"name not terminated", [](TLAPI_ASSOCIATION& a) { std::memset(a.name, 'n', 256); }, -1},
        {"empty name", [](TLAPI_ASSOCIATION& a) { a.name[0] = '\0'; },
         TLAPI_STATUS_INVALID_ARGUMENT},
        {"camera id 0", [](TLAPI_ASSOCIATION& a) { a.cameraId = 0; },
         TLAPI_STATUS_INVALID_ARGUMENT},
        {"unknown trigger", [](TLAPI_ASSOCIATION& a) { a.entries->softTriggerId = 99; },
         TLAPI_STATUS_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        entry = Entry(1, trigger);
        TLAPI_ASSOCIATION a = NewAssociation(name, font, 5);
        a.entries = &entry;
        a.entryCount = 1;
        c.spoil(a);
        EXPECT_EQ(TLAPI_UpdateAssociation(h, &a), c.result);
    }
    EXPECT_EQ(sim.Command("dump").find("association"), std::string::npos) << "nothing was stored";

    TLAPI_ASSOCIATION get = NewAssociation(name, font, 5);
    get.size = 72;
    EXPECT_EQ(TLAPI_GetAssociationForCamera(h, 5, &get), -1);
    get.size = sizeof get;
    entry.size = 0;
    get.entries = &entry;
    get.entryCount = 1;
    EXPECT_EQ(TLAPI_GetAssociationForCamera(h, 5, &get), -1);
    EXPECT_EQ(TLAPI_GetAssociationForCamera(h, 5, nullptr), -1);
    EXPECT_GE(TLAPI_GetSocket(h), 0) << "a rejected record does not cost the connection";
}

TEST_F(TlapiRecords, EventLinksAreListedAndDetached)
{
    const uint32_t trigger = CreateTrigger("KORVEL_12");
    EXPECT_EQ(sim.Command("link " + std::to_string(trigger)), "link 1\n");
    EXPECT_EQ(sim.Command("link " + std::to_string(trigger)), "link 2\n");

    ASSERT_EQ(TLAPI_NumEventLinks(h), 2u);
    EXPECT_EQ(TLAPI_GetEventLinkId(h, 1), 2u);
    EXPECT_EQ(TLAPI_GetEventLinkId(h, 2), 0u);

    TLAPI_EVENT_LINK link{};
    link.size = 240;
    link.id = TLAPI_GetEventLinkId(h, 0);
    ASSERT_EQ(TLAPI_GetEventLinkInfo(h, &link), 0);
    uint8_t bytes[240];
    std::memcpy(bytes, &link, sizeof bytes);
    uint32_t atOffset28;
    uint32_t atOffset32;
    std::memcpy(&atOffset28, bytes + 28, 4);
    std::memcpy(&atOffset32, bytes + 32, 4);
    EXPECT_EQ(atOffset28, 1u) << "driven by a soft trigger";
    EXPECT_EQ(atOffset32, trigger);
    EXPECT_STREQ(link.name, "User link 1");

    client.ClearEvents();
    link.sourceType = 0;
    EXPECT_EQ(TLAPI_UpdateEventLink(h, &link), 0);
    SeenEvent refresh;
    EXPECT_TRUE(client.WaitFor(TLAPI_EVENT_REFRESH_DUE, refresh));
    const std::string dump = sim.Command("dump");
    EXPECT_NE(dump.find("link 1 trigger=0 source=0 "), std::string::npos) << dump;
    EXPECT_NE(dump.find("link 2 trigger=1 source=1 "), std::string::npos) << dump;
    TLAPI_EVENT_LINK reread{};
    reread.size = 240;
    reread.id = 1;
    ASSERT_EQ(TLAPI_GetEventLinkInfo(h, &reread), 0);
    EXPECT_EQ(reread.softTriggerId, 0u);
    EXPECT_EQ(reread.sourceType, 0u);

    struct Case
    {
        const char* what;
        std::function<void(TLAPI_EVENT_LINK&)> spoil;
        int updateResult;
    };
    const Case cases[] = {
        {"record size 236", [](TLAPI_EVENT_LINK& l) { l.size = 236; }, -1},
        {"unknown link", [](TLAPI_EVENT_LINK& l) { l.id = 42; }, TLAPI_STATUS_NOT_FOUND},
        {"unknown trigger",
         [](TLAPI_EVENT_LINK& l) {
             l.sourceType = 1;
             l.softTriggerId = 42;
         },
         TLAPI_STATUS_NOT_FOUND},
        {"unknown source type", [](TLAPI_EVENT_LINK& l) { l.sourceType = 9; },
         TLAPI_STATUS_INVALID_ARGUMENT},
        {"name not terminated",
         [](TLAPI_EVENT_LINK& l) { std::memset(l.name, 'n', sizeof l.name); }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TLAPI_EVENT_LINK spoiled{};
        spoiled.size = 240;
        spoiled.id = 2;
        ASSERT_EQ(TLAPI_GetEventLinkInfo(h, &spoiled), 0);
        c.spoil(spoiled);
        EXPECT_EQ(TLAPI_UpdateEventLink(h, &spoiled), c.updateResult);
    }

    TLAPI_EVENT_LINK unknown{};
    unknown.size = 240;
    unknown.id = 42;
    EXPECT_LT(TLAPI_GetEventLinkInfo(h, &unknown), 0);
    unknown.size = 236;
    unknown.id = 1;
    EXPECT_LT(TLAPI_GetEventLinkInfo(h, &unknown), 0);
    EXPECT_LT(TLAPI_GetEventLinkInfo(h, nullptr), 0);
}

TEST_F(TlapiRecords, ChangesAreAnnouncedToEverySession)
{
    Client other;
    ASSERT_EQ(other.Connect(sim.Port(), "admin", "secret"), 0);
    Client notLoggedIn;
    ASSERT_EQ(notLoggedIn.Open(sim.Port()), 0);
    ASSERT_EQ(TLAPI_Select(notLoggedIn.Handle(), 1000), 1);

    const uint32_t trigger = CreateTrigger("KORVEL_1");
    SeenEvent seen;
    EXPECT_TRUE(other.WaitFor(TLAPI_EVENT_REFRESH_DUE, seen));

    EXPECT_EQ(sim.Command("fire " + std::to_string(trigger)), "fired 1 sessions=2\n");
    EXPECT_TRUE(other.WaitFor(TLAPI_EVENT_SOFT_TRIGGER, seen));
    EXPECT_TRUE(client.WaitFor(TLAPI_EVENT_SOFT_TRIGGER, seen));
    // The trigger was announced after it was made: a confirmation sent to the
    // other session would have come before the announcement.
    for (const SeenEvent& event : other.Events())
        EXPECT_NE(event.type, TLAPI_EVENT_TRIGGER_CREATED) << "the confirmation goes to the creator only";
    // A request the NVR refuses is answered after whatever it had sent before.
    char text[64] = {};
    EXPECT_NE(TLAPI_GetDeviceIP(notLoggedIn.Handle(), 1, text, sizeof text), 0);
    for (const SeenEvent& event : notLoggedIn.Events())
        EXPECT_NE(event.type, TLAPI_EVENT_SOFT_TRIGGER) << "sessions without a login hear nothing";
}

} // namespace korvel::records_test
