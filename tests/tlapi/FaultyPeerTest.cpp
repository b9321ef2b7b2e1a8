// The NVR client library against peers that break the protocol: every fault
// must end that connection with a failure result and a reason, in bounded
// time, and never crash or allocate without bound.

#include "SimHarness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korvel::faulty_peer_test {

namespace {

std::vector<uint8_t> OkNumber(uint32_t value)
{
    std::vector<uint8_t> payload = U32Bytes(0);
    const auto number = U32Bytes(value);
    payload.insert(payload.end(), number.begin(), number.end());
    return payload;
}

// Answers the first request of the client with the bytes the case makes.
FakePeer::Script
AnswerWith(std::function<std::vector<uint8_t>(uint32_t tag, uint16_t operation)> answer,
           bool closeAfter = false)
{
    return [answer, closeAfter](TestSocket& client) {
        if (!FakePeer::Greet(client))
            return;
        uint16_t operation = 0;
        const uint32_t tag = FakePeer::ReadRequest(client, operation);
        if (tag == 0)
            return;
        client.SendAll(answer(tag, operation));
        if (!closeAfter)
            client.WaitClosed(std::chrono::seconds(10));
    };
}

} // namespace

TEST(TlapiFaultyPeer, BrokenRepliesCloseTheConnection)
{
    struct Case
    {
        const char* what;
        FakePeer::Script script;
        const char* reason;
    };
    const Case cases[] = {
        {"oversized frame", AnswerWith([](uint32_t, uint16_t) { return U32Bytes(0x7FFFFFFF); }),
         "frame length"},
        {"frame too short for a header", AnswerWith([](uint32_t, uint16_t) { return U32Bytes(3); }),
         "frame length"},
        {"garbage", AnswerWith([](uint32_t, uint16_t) { return std::vector<uint8_t>(64, 0xFF); }),
         "frame length"},
        {"unknown frame type",
         AnswerWith([](uint32_t tag, uint16_t op) { return Frame(9, op, tag, OkNumber(1)); }),
         "frame type"},
        {"reply with another tag",
         AnswerWith([](uint32_t tag, uint16_t op) { return Frame(2, op, tag + 5, OkNumber(1)); }),
         "unexpected reply"},
        {"reply to another operation",
         AnswerWith([](uint32_t tag, uint16_t) { return Frame(2, 0x20, tag, OkNumber(1)); }),
         "unexpected reply"},
        {"reply without status",
         AnswerWith([](uint32_t tag, uint16_t op) { return Frame(2, op, tag, {}); }),
         "without status"},
        {"reply without its number",
         AnswerWith([](uint32_t tag, uint16_t op) { return Frame(2, op, tag, U32Bytes(0)); }),
         "short reply"},
        {"request from the NVR",
         AnswerWith([](uint32_t tag, uint16_t op) { return Frame(1, op, tag, {}); }),
         "unexpected request"},
        {"short event", AnswerWith([](uint32_t, uint16_t) { return Frame(3, 10, 1, U32Bytes(1)); }),
         "short event"},
        {"closed in mid-frame",
         AnswerWith([](uint32_t, uint16_t) { return std::vector<uint8_t>{0, 0, 0, 40, 2, 0}; },
                    true),
         "closed"},
        {"no reply at all", AnswerWith([](uint32_t, uint16_t) { return std::vector<uint8_t>(); }),
         "no reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakePeer peer(c.script);
        Client client;
        TLAPI_SetTimeout(client.Handle(), 1);
        ASSERT_EQ(client.Open(peer.Port()), 0) << client.LastError();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TLAPI_NumCameras(client.Handle()), 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(TLAPI_GetSocket(client.Handle()), -1);
        EXPECT_NE(client.LastError().find(c.reason), std::string::npos) << client.LastError();
        EXPECT_LT(TLAPI_Select(client.Handle(), 0), 0);
        EXPECT_EQ(client.Events().size(), 1u) << "event 1 from the open is still delivered";
    }
}

TEST(TlapiFaultyPeer, TextRepliesThatLieAboutTheirLengthLeaveAnEmptyBuffer)
{
    FakePeer peer(AnswerWith([](uint32_t tag, uint16_t op) {
        std::vector<uint8_t> payload = U32Bytes(0);
        const auto length = U32Bytes(1000000);
        payload.insert(payload.end(), length.begin(), length.end());
        payload.insert(payload.end(), 10, 'a');
        return Frame(2, op, tag, payload);
    }));
    Client client;
    ASSERT_EQ(client.Open(peer.Port()), 0);
    char name[256];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(TLAPI_GetCameraName(client.Handle(), 1, name, sizeof name), -1);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(TLAPI_GetSocket(client.Handle()), -1);
}

TEST(TlapiFaultyPeer, OpenFailsWithoutAProperGreeting)
{
    struct Case
    {
        const char* what;
        FakePeer::Script script;
    };
    const Case cases[] = {
        {"silent", [](TestSocket& c) { c.WaitClosed(std::chrono::seconds(10)); }},
        {"text banner",
         [](TestSocket& c) {
             c.SendAll(std::string("220 welcome\r\n"));
             c.WaitClosed(std::chrono::seconds(10));
         }},
        {"closes at once", [](TestSocket&) {}},
        {"refuses the version",
         [](TestSocket& c) {
             uint16_t op = 0;
             const uint32_t tag = FakePeer::ReadRequest(c, op);
             c.SendAll(Frame(2, 1, tag, U32Bytes(6)));
             c.WaitClosed(std::chrono::seconds(10));
         }},
        {"wrong magic",
         [](TestSocket& c) {
             uint16_t op = 0;
             const uint32_t tag = FakePeer::ReadRequest(c, op);
             std::vector<uint8_t> results = U32Bytes(0);
             const auto magic = U32Bytes(0x12345678);
             results.insert(results.end(), magic.begin(), magic.end());
             results.push_back(0);
             results.push_back(1);
             c.SendAll(Frame(2, 1, tag, results));
             c.WaitClosed(std::chrono::seconds(10));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakePeer peer(c.script);
        Client client;
        TLAPI_SetTimeout(client.Handle(), 1);
        EXPECT_NE(client.Open(peer.Port()), 0);
        EXPECT_EQ(TLAPI_GetSocket(client.Handle()), -1);
        EXPECT_FALSE(client.LastError().empty());
        EXPECT_LT(TLAPI_Select(client.Handle(), 0), 0);
        EXPECT_TRUE(client.Events().empty()) << "no event 1 for a failed open";
    }
}

TEST(TlapiFaultyPeer, AnEventFloodIsCutOffNotQueuedWithoutBound)
{
    FakePeer peer(AnswerWith([](uint32_t, uint16_t) {
        // Soft trigger events are each worth keeping, so they are not merged.
        std::vector<uint8_t> flood;
        std::vector<uint8_t> payload = U32Bytes(1);
        payload.push_back(0);
        payload.push_back(0);
        const auto id = U32Bytes(7);
        payload.insert(payload.end(), id.begin(), id.end());
        const auto detail = U32Bytes(0);
        payload.insert(payload.end(), detail.begin(), detail.end());
        for (uint32_t i = 1; i <= 5000; ++i) {
            const auto frame = Frame(3, 10, i, payload);
            flood.insert(flood.end(), frame.begin(), frame.end());
        }
        return flood;
    }));
    Client client;
    TLAPI_SetTimeout(client.Handle(), 2);
    ASSERT_EQ(client.Open(peer.Port()), 0);
    EXPECT_EQ(TLAPI_NumCameras(client.Handle()), 0u);
    EXPECT_EQ(TLAPI_GetSocket(client.Handle()), -1);
    EXPECT_NE(client.LastError().find("undelivered events"), std::string::npos)
        << client.LastError();

    // What was kept is still delivered, a bounded batch per call.
    std::size_t before = 0;
    do {
        before = client.Events().size();
        EXPECT_LT(TLAPI_Select(client.Handle(), 0), 0);
    } while (client.Events().size() > before);
    const auto events = client.Events();
    EXPECT_LE(events.size(), 4096u);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1].type, TLAPI_EVENT_SOFT_TRIGGER);
    EXPECT_EQ(events[1].U32At(12), 7u);
    EXPECT_EQ(events[1].U32At(4), 1u) << "the NVR's sequence number";
}

} // namespace korvel::faulty_peer_test
