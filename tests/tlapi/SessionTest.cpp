// Session life of the NVR client library against a real nvrsim: opening,
// login outcomes, events, lost connections, handles and threads.

#include "SimHarness.h"

#include "support/TempDir.h"
#include "support/UnusedPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::session_test {

TEST(TlapiSession, OpenQueuesEventOneForTheNextSelect)
{
    NvrSimulator sim;
    Client client;
    ASSERT_NE(client.Handle(), 0u);
    ASSERT_EQ(client.Open(sim.Port()), 0) << client.LastError();
    EXPECT_TRUE(client.Events().empty()) << "events reach the callback only inside TLAPI_Select";
    EXPECT_GE(TLAPI_GetSocket(client.Handle()), 0);

    EXPECT_EQ(TLAPI_Select(client.Handle(), 1000), 1);
    const auto events = client.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, TLAPI_EVENT_OPENED);
    EXPECT_EQ(events[0].code, 0);
    EXPECT_EQ(events[0].length, 20);
    EXPECT_EQ(events[0].U32At(0), 20u) << "record size field";
}

TEST(TlapiSession, LoginOutcomeArrivesAsEvent71)
{
    struct Case
    {
        const char* user;
        const char* password;
        int code;
    };
    const Case cases[] = {
        {"admin", "secret", TLAPI_LOGIN_OK},       {"admin", "wrong", TLAPI_LOGIN_REFUSED},
        {"nobody", "secret", TLAPI_LOGIN_REFUSED}, {"guest", "", TLAPI_LOGIN_OK},
        {"admin", "", TLAPI_LOGIN_REFUSED},
    };
    NvrSimulator sim;
    sim.Command("user admin secret");
    sim.Command("user guest -");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.user) + "/" + c.password);
        Client client;
        EXPECT_EQ(client.Connect(sim.Port(), c.user, c.password), c.code);
        EXPECT_GE(TLAPI_GetSocket(client.Handle()), 0) << "a refused login keeps the connection";
    }
}

TEST(TlapiSession, RequestsBeforeLoginAreRefusedWithoutClosing)
{
    NvrSimulator sim;
    sim.Command("camera 4 10.0.0.4 Lobby");
    Client client;
    SeenEvent seen;
    ASSERT_EQ(client.Open(sim.Port()), 0);
    ASSERT_TRUE(client.WaitFor(TLAPI_EVENT_OPENED, seen));
    EXPECT_EQ(TLAPI_Discover(client.Handle()), 0) << "discovery needs no login";
    EXPECT_EQ(TLAPI_NumCameras(client.Handle()), 0u);
    EXPECT_EQ(TLAPI_CreateSoftTriggerWithGuid(client.Handle(), "Korvel Control", "KORVEL_4"),
              TLAPI_STATUS_NOT_LOGGED_IN);
    EXPECT_GE(TLAPI_GetSocket(client.Handle()), 0);
    EXPECT_GE(TLAPI_Select(client.Handle(), 0), 0);
}

TEST(TlapiSession, EventsMetDuringACallWaitForTheNextSelect)
{
    NvrSimulator sim;
    sim.Command("user admin secret");
    Client client;
    ASSERT_EQ(client.Connect(sim.Port(), "admin", "secret"), 0);
    client.ClearEvents();
    sim.Command("refresh");
    sim.Command("refresh");
    EXPECT_EQ(TLAPI_NumCameras(client.Handle()), 0u);
    EXPECT_TRUE(client.Events().empty());
    // Both announcements were read during the call; one pending refresh is kept.
    EXPECT_EQ(TLAPI_Select(client.Handle(), 0), 1);
    const auto events = client.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, TLAPI_EVENT_REFRESH_DUE);
}

TEST(TlapiSession, DropEndsTheConnectionAndReopenWorks)
{
    NvrSimulator sim;
    sim.Command("user admin secret");
    sim.Command("camera 12 192.168.1.20 Front");
    Client client;
    ASSERT_EQ(client.Connect(sim.Port(), "admin", "secret"), 0);
    EXPECT_EQ(sim.Command("drop"), "dropped 1\n");

    EXPECT_TRUE(WaitUntil([&] { return TLAPI_GetSocket(client.Handle()) == -1; }));
    EXPECT_LT(TLAPI_Select(client.Handle(), 100), 0);
    EXPECT_LT(TLAPI_Select(client.Handle(), 100), 0) << "stays failed";
    EXPECT_NE(client.LastError().find("closed"), std::string::npos) << client.LastError();
    EXPECT_EQ(TLAPI_NumCameras(client.Handle()), 0u);
    EXPECT_NE(TLAPI_Login(client.Handle(), "admin", "secret"), 0);

    client.ClearEvents();
    ASSERT_EQ(client.Connect(sim.Port(), "admin", "secret"), 0);
    EXPECT_EQ(TLAPI_NumCameras(client.Handle()), 1u);
    EXPECT_GE(TLAPI_GetSocket(client.Handle()), 0);
}

TEST(TlapiSession, CloseDropsTheConnectionButKeepsTheHandle)
{
    NvrSimulator sim;
    sim.Command("user admin secret");
    Client client;
    ASSERT_EQ(client.Connect(sim.Port(), "admin", "secret"), 0);
    EXPECT_EQ(TLAPI_Close(client.Handle()), 0);
    EXPECT_EQ(TLAPI_GetSocket(client.Handle()), -1);
    EXPECT_LT(TLAPI_Select(client.Handle(), 50), 0);
    EXPECT_TRUE(
        WaitUntil([&] { return sim.Command("dump").find("session ") == std::string::npos; }));
    client.ClearEvents();
    EXPECT_EQ(client.Connect(sim.Port(), "admin", "secret"), 0);
}

TEST(TlapiSession, OpenFailsWhenNothingListens)
{
    Client client;
    EXPECT_NE(client.Open(UnusedPort()), 0);
    EXPECT_EQ(TLAPI_GetSocket(client.Handle()), -1);
    EXPECT_LT(TLAPI_Select(client.Handle(), 10), 0);
    EXPECT_NE(client.LastError().find("cannot connect"), std::string::npos) << client.LastError();

    const struct
    {
        const char* address;
        int port;
    } bad[] = {
        {"127.0.0.1", 0}, {"127.0.0.1", 70000}, {"", 22609}, {"no.such.host.invalid", 22609}};
    TLAPI_SetTimeout(client.Handle(), 1);
    for (const auto& b : bad) {
        SCOPED_TRACE(b.address);
        EXPECT_NE(client.Open(b.port, b.address), 0);
        EXPECT_EQ(TLAPI_GetSocket(client.Handle()), -1);
    }
    EXPECT_NE(TLAPI_Open(client.Handle(), nullptr, 22609), 0);
}

TEST(TlapiSession, SelectWaitsAboutTheGivenTime)
{
    NvrSimulator sim;
    Client client;
    ASSERT_EQ(client.Open(sim.Port()), 0);
    ASSERT_EQ(TLAPI_Select(client.Handle(), 0), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TLAPI_Select(client.Handle(), 300), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
}

TEST(TlapiSession, InvalidHandlesAreRejected)
{
    const TLAPI_HANDLE released = TLAPI_Init();
    ASSERT_NE(released, 0u);
    ASSERT_EQ(TLAPI_Cleanup(released), 0);
    EXPECT_NE(TLAPI_Cleanup(released), 0) << "a handle is released once";

    for (const TLAPI_HANDLE handle : {TLAPI_HANDLE(0), released, TLAPI_HANDLE(0xFFFFFFF0u)}) {
        SCOPED_TRACE(handle);
        char buffer[16];
        std::memset(buffer, 'x', sizeof buffer);
        TLAPI_ASSOCIATION association{};
        association.size = sizeof association;
        TLAPI_EVENT_LINK link{};
        link.size = sizeof link;

        EXPECT_NE(TLAPI_SetCallbackEx(handle, nullptr, nullptr), 0);
        EXPECT_NE(TLAPI_Open(handle, "127.0.0.1", 22609), 0);
        EXPECT_NE(TLAPI_SetTimeout(handle, 1), 0);
        EXPECT_LT(TLAPI_Select(handle, 10), 0);
        EXPECT_NE(TLAPI_Discover(handle), 0);
        EXPECT_NE(TLAPI_Login(handle, "a", "b"), 0);
        EXPECT_EQ(TLAPI_GetSocket(handle), -1);
        EXPECT_NE(TLAPI_Close(handle), 0);
        EXPECT_EQ(TLAPI_NumCameras(handle), 0u);
        EXPECT_EQ(TLAPI_GetCameraId(handle, 0), 0u);
        EXPECT_NE(TLAPI_GetDeviceIP(handle, 1, buffer, sizeof buffer), 0);
        EXPECT_EQ(buffer[0], '\0') << "text getters leave an empty text on failure";
        EXPECT_NE(TLAPI_GetCameraName(handle, 1, buffer, sizeof buffer), 0);
        EXPECT_EQ(TLAPI_NumSoftTriggers(handle), 0u);
        EXPECT_EQ(TLAPI_GetSoftTriggerId(handle, 0), 0u);
        EXPECT_NE(TLAPI_GetSoftTriggerGuid(handle, 1, buffer, sizeof buffer), 0);
        EXPECT_NE(TLAPI_CreateSoftTriggerWithGuid(handle, "n", "g"), 0);
        EXPECT_NE(TLAPI_GetAssociationForCamera(handle, 1, &association), 0);
        EXPECT_NE(TLAPI_UpdateAssociation(handle, &association), 0);
        EXPECT_EQ(TLAPI_NumEventLinks(handle), 0u);
        EXPECT_EQ(TLAPI_GetEventLinkId(handle, 0), 0u);
        EXPECT_LT(TLAPI_GetEventLinkInfo(handle, &link), 0);
        EXPECT_NE(TLAPI_UpdateEventLink(handle, &link), 0);
        EXPECT_NE(TLAPI_GetLastError(handle, buffer, sizeof buffer), 0);
    }
}

TEST(TlapiSession, HandlesAreDistinctAndNeverZero)
{
    std::vector<TLAPI_HANDLE> handles;
    for (int i = 0; i < 20; ++i)
        handles.push_back(TLAPI_Init());
    for (std::size_t i = 0; i < handles.size(); ++i) {
        EXPECT_NE(handles[i], 0u);
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_NE(handles[i], handles[j]);
    }
    for (TLAPI_HANDLE handle : handles)
        EXPECT_EQ(TLAPI_Cleanup(handle), 0);
}

namespace {

struct ReentrantProbe
{
    TLAPI_HANDLE handle = 0;
    int socketSeen = -2;
};

int CallBackIn(int eventType, int, const void*, int, void* context)
{
    auto* probe = static_cast<ReentrantProbe*>(context);
    if (eventType == TLAPI_EVENT_OPENED)
        probe->socketSeen = TLAPI_GetSocket(probe->handle);
    return 0;
}

} // namespace

TEST(TlapiSession, CallbackMayCallTheLibrary)
{
    NvrSimulator sim;
    ReentrantProbe probe;
    probe.handle = TLAPI_Init();
    ASSERT_EQ(TLAPI_SetCallbackEx(probe.handle, &CallBackIn, &probe), 0);
    ASSERT_EQ(TLAPI_Open(probe.handle, "127.0.0.1", sim.Port()), 0);
    EXPECT_EQ(TLAPI_Select(probe.handle, 1000), 1);
    EXPECT_GE(probe.socketSeen, 0);
    TLAPI_Close(probe.handle);
    TLAPI_Cleanup(probe.handle);
}

TEST(TlapiSession, SeveralHandlesOnSeveralThreads)
{
    NvrSimulator sim;
    sim.Command("user admin secret");
    for (int id = 1; id <= 5; ++id)
        sim.Command("camera " + std::to_string(id) + " 10.0.0." + std::to_string(id) + " Camera " +
                    std::to_string(id));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            Client client;
            if (client.Connect(sim.Port(), "admin", "secret") != 0) {
                ++failures;
                return;
            }
            for (int round = 0; round < 30; ++round) {
                if (TLAPI_NumCameras(client.Handle()) != 5u)
                    ++failures;
                for (uint32_t index = 0; index < 5; ++index) {
                    const uint32_t id = TLAPI_GetCameraId(client.Handle(), index);
                    char name[256] = {};
                    TLAPI_GetCameraName(client.Handle(), id, name, sizeof name);
                    if (id != index + 1 || std::string(name) != "Camera " + std::to_string(id))
                        ++failures;
                }
                if (TLAPI_Select(client.Handle(), 0) < 0)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace korvel::session_test
