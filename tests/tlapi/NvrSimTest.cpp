// nvrsim as a process: its command line, control commands, dump format,
// standard input, signals, and how it treats clients that break the protocol.

#include "SimHarness.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::nvr_sim_test {

namespace {

std::vector<uint8_t> HelloPayload()
{
    std::vector<uint8_t> payload = U32Bytes(0x544C4B56);
    payload.push_back(0);
    payload.push_back(1);
    return payload;
}

// Reads one frame; returns its body (type, code, tag, payload).
std::vector<uint8_t> ReadFrame(TestSocket& socket)
{
    std::vector<uint8_t> length;
    std::vector<uint8_t> body;
    if (!socket.ReadExactly(4, length))
        return {};
    const uint32_t size = (uint32_t(length[0]) << 24) | (uint32_t(length[1]) << 16) |
                          (uint32_t(length[2]) << 8) | length[3];
    if (size > 65536 || !socket.ReadExactly(size, body))
        return {};
    return body;
}

uint32_t StatusOf(const std::vector<uint8_t>& body)
{
    if (body.size() < 11)
        return 0xFFFFFFFF;
    return (uint32_t(body[7]) << 24) | (uint32_t(body[8]) << 16) | (uint32_t(body[9]) << 8) |
           body[10];
}

} // namespace

TEST(NvrSim, ControlCommandsAnswerOkOrError)
{
    const std::string usageCamera = "error: usage: camera ID ADDRESS NAME...\n";
    const struct
    {
        std::string command;
        std::string answer;
    } cases[] = {
        {"user admin secret", "ok\n"},
        {"user admin", "error: usage: user NAME PASSWORD\n"},
        {"user a b c", "error: usage: user NAME PASSWORD\n"},
        {"camera 5 - Yard cam", "ok\n"},
        {"camera 0 - Zero", usageCamera},
        {"camera x - X", usageCamera},
        {"camera 4294967296 - Big", usageCamera},
        {"camera 5", usageCamera},
        {"camera 6 - " + std::string(300, 'n'), "error: invalid argument\n"},
        {"rename 5 Back  yard", "ok\n"},
        {"rename 9 X", "error: not found: camera 9\n"},
        {"rename", "error: usage: rename ID NAME...\n"},
        {"link 1", "error: not found: trigger 1\n"},
        {"link", "error: usage: link TRIGGER_ID\n"},
        {"fire KORVEL_1", "error: no soft trigger KORVEL_1\n"},
        {"fire", "error: usage: fire GUID_OR_ID\n"},
        {"refresh", "refresh sessions=0\nok\n"},
        {"refresh now", "error: refresh takes no arguments\n"},
        {"drop", "dropped 0\nok\n"},
        {"revoke", "revoked sessions=0\nok\n"},
        {"revoke all", "error: revoke takes no arguments\n"},
        {"logins ignore", "ok\n"},
        {"logins 0", "ok\n"},
        {"logins 5", "ok\n"},
        {"logins check", "ok\n"},
        {"logins", "error: usage: logins check|ignore|CODE\n"},
        {"logins -1", "error: usage: logins check|ignore|CODE\n"},
        {"hold TRIGGER_GUID", "ok\n"},
        {"hold CAMERA_COUNT 3", "ok\n"},
        {"hold CAMERA_COUNT 0", "error: usage: hold OPERATION [N]\n"},
        {"hold camera_count", "error: usage: hold OPERATION [N]\n"},
        {"hold CAMERA_COUNT 1 2", "error: usage: hold OPERATION [N]\n"},
        {"hold", "error: usage: hold OPERATION [N]\n"},
        {"release", "released sessions=0\nok\n"},
        {"frobnicate", "error: unknown command frobnicate (try help)\n"},
        {"dump", "camera 5 address=\"\" name=\"Back  yard\"\nuser admin\nok\n"},
    };
    NvrSimulator sim;
    for (const auto& c : cases)
        EXPECT_EQ(sim.Answer(c.command), c.answer) << c.command;
    EXPECT_NE(sim.Answer("help").find("fire GUID_OR_ID"), std::string::npos);
}

TEST(NvrSim, DumpShowsTheWholeState)
{
    NvrSimulator sim;
    sim.Command("user admin secret");
    sim.Command("camera 12 192.168.1.20 Front door");
    sim.Command("camera 7 -");
    sim.Command("camera 9 10.1.1.9 Say \"hi\" \\ now");
    Client client;
    ASSERT_EQ(client.Connect(sim.Port(), "admin", "secret"), 0);
    ASSERT_EQ(TLAPI_CreateSoftTriggerWithGuid(client.Handle(), "Korvel Control", "KORVEL_12"), 0);
    char name[TLAPI_TEXT_BUFFER_SIZE] = "KORVEL_12";
    char font[TLAPI_TEXT_BUFFER_SIZE] = "Arial";
    TLAPI_ASSOCIATION_ENTRY entry{32, 1, 8, 1, 0, 0, 0, 2};
    TLAPI_ASSOCIATION a{};
    a.size = sizeof a;
    a.name = name;
    a.nameLength = 10;
    a.cameraId = 12;
    a.displayMode = 4;
    a.displayWidth = 50;
    a.textColour = 0x808080;
    a.active = 1;
    a.font = font;
    a.fontSize = 8;
    a.markerColour = 0xFFFF00;
    a.markerSize = 70;
    a.markerX = 90;
    a.markerY = 90;
    a.entries = &entry;
    a.entryCount = 1;
    ASSERT_EQ(TLAPI_UpdateAssociation(client.Handle(), &a), 0);
    sim.Command("link 1");

    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(TLAPI_GetSocket(client.Handle()), reinterpret_cast<sockaddr*>(&local),
                            &length),
              0);
    const std::string expected = "camera 7 address=\"\" name=\"\"\n"
                                 "camera 9 address=10.1.1.9 name=\"Say \\\"hi\\\" \\\\ now\"\n"
                                 "camera 12 address=192.168.1.20 name=\"Front door\"\n"
                                 "user admin\n"
                                 "trigger 1 name=\"Korvel Control\" guid=KORVEL_12\n"
                                 "association camera=12 name=KORVEL_12 displayMode=4 "
                                 "displayWidth=50 textColour=0x808080 options=0 "
                                 "active=1 font=Arial fontSize=8 markerColour=0xFFFF00 "
                                 "markerSize=70 markerX=90 markerY=90 entries=1\n"
                                 "  entry 1 position=1 kind=8 trigger=1 action=2\n"
                                 "link 1 trigger=1 source=1 event=10 action=1 target=0 schedule=0 "
                                 "options=0 name=\"User link 1\"\n"
                                 "session 1 peer=127.0.0.1:" +
                                 std::to_string(ntohs(local.sin_port)) +
                                 " loggedin=yes user=admin\n"
                                 "ok\n";
    EXPECT_EQ(sim.Answer("dump"), expected);
}

TEST(NvrSim, StandardInputTakesCommandsAndItsEndDoesNotStop)
{
    NvrSimulator sim;
    sim.Proc().WriteStdin("camera 3 - Gate\r\n\n# a comment\ndump\n");
    EXPECT_TRUE(WaitUntil([&] {
        return sim.Proc().Stdout().find("camera 3 address=\"\" name=Gate\nok\n") !=
               std::string::npos;
    })) << sim.Proc().Stdout();
    sim.Proc().WriteStdin(std::string(5000, 'x') + "\n");
    EXPECT_TRUE(WaitUntil(
        [&] { return sim.Proc().Stdout().find("error: line too long\n") != std::string::npos; }));
    sim.Proc().CloseStdin();
    EXPECT_EQ(sim.Answer("rename 3 Main gate"), "ok\n");
    EXPECT_TRUE(sim.Proc().Running());

    EXPECT_EQ(sim.Answer("quit"), "ok\n");
    ASSERT_TRUE(sim.Proc().Wait(std::chrono::seconds(10)));
    EXPECT_EQ(sim.Proc().ExitStatus(), 0);
}

TEST(NvrSim, StopsOnSignals)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        NvrSimulator sim;
        Client client;
        ASSERT_EQ(client.Open(sim.Port()), 0);
        sim.Proc().Signal(signal);
        ASSERT_TRUE(sim.Proc().Wait(std::chrono::seconds(10)));
        EXPECT_FALSE(sim.Proc().Signalled());
        EXPECT_EQ(sim.Proc().ExitStatus(), 0);
    }
}

TEST(NvrSim, CommandLineErrors)
{
    const int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    ::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string busyEndpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const struct
    {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    } cases[] = {
        {{"--listen", "nonsense"}, 2, "bad address for --listen"},
        {{"--listen", "127.0.0.1:99999"}, 2, "bad address"},
        {{"--control"}, 2, "unknown argument"},
        {{"--bogus"}, 2, "unknown argument"},
        {{"--listen", busyEndpoint}, 1, "cannot listen"},
        {{"--listen", "127.0.0.1:0", "--control", busyEndpoint}, 1, "cannot listen"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const RunResult result = RunToEnd(NVRSIM_BINARY, c.arguments);
        EXPECT_EQ(result.exitStatus, c.status);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    ::close(busy);
    const RunResult help = RunToEnd(NVRSIM_BINARY, {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("usage: nvrsim"), std::string::npos);
}

TEST(NvrSim, ClientsThatBreakTheProtocolAreDisconnected)
{
    NvrSimulator sim;
    sim.Command("user admin secret");
    Client good;
    ASSERT_EQ(good.Connect(sim.Port(), "admin", "secret"), 0);

    const struct
    {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t replyStatus; // 0xFFFFFFFF: no reply expected
    } cases[] = {
        {"garbage", std::vector<uint8_t>(16, 0xFF), 0xFFFFFFFF},
        {"oversized frame", U32Bytes(1 << 20), 0xFFFFFFFF},
        {"unknown frame type", Frame(7, 1, 1, HelloPayload()), 0xFFFFFFFF},
        {"reply from a client", Frame(2, 1, 1, HelloPayload()), 0xFFFFFFFF},
        {"request before the greeting", Frame(1, 0x10, 5, {}), 1},
        {"greeting with wrong magic", Frame(1, 1, 5, U32Bytes(42)), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestSocket raw = TestSocket::Connect(sim.Port());
        raw.SendAll(c.bytes);
        if (c.replyStatus != 0xFFFFFFFF) {
            EXPECT_EQ(StatusOf(ReadFrame(raw)), c.replyStatus);
        }
        EXPECT_TRUE(raw.WaitClosed(std::chrono::seconds(10)));
    }
    EXPECT_NE(sim.Proc().Stderr().find("bad data"), std::string::npos) << sim.Proc().Stderr();
    EXPECT_EQ(TLAPI_NumCameras(good.Handle()), 0u);
    EXPECT_GE(TLAPI_GetSocket(good.Handle()), 0) << "other clients go on";
}

TEST(NvrSim, GreetingBytesAndRefusalsThatKeepTheConnection)
{
    NvrSimulator sim;
    TestSocket raw = TestSocket::Connect(sim.Port());
    // The greeting exactly as the protocol document shows it.
    raw.SendAll(std::vector<uint8_t>{0x00, 0x00, 0x00, 0x0D, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
                                     0x01, 0x54, 0x4C, 0x4B, 0x56, 0x00, 0x01});
    std::vector<uint8_t> greeting;
    ASSERT_TRUE(raw.ReadExactly(31, greeting));
    const std::vector<uint8_t> expected = {0x00, 0x00, 0x00, 0x1B, 0x02, 0x00, 0x01, 0x00,
                                           0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x54,
                                           0x4C, 0x4B, 0x56, 0x00, 0x01, 0x00, 0x00, 0x00,
                                           0x06, 'n',  'v',  'r',  's',  'i',  'm'};
    EXPECT_EQ(greeting, expected);

    raw.SendAll(Frame(1, 0x99, 2, {}));
    EXPECT_EQ(StatusOf(ReadFrame(raw)), 5u);
    raw.SendAll(Frame(1, 0x10, 3, {}));
    EXPECT_EQ(StatusOf(ReadFrame(raw)), 2u) << "not logged in";
    raw.SendAll(Frame(1, 0x11, 4, {}));
    EXPECT_EQ(StatusOf(ReadFrame(raw)), 2u);
}

TEST(NvrSim, VerboseLogsEveryRequest)
{
    NvrSimulator sim("127.0.0.1:0", {}, {"-v"});
    sim.Command("user admin secret");
    Client client;
    ASSERT_EQ(client.Connect(sim.Port(), "admin", "wrong"), TLAPI_LOGIN_REFUSED);
    EXPECT_EQ(TLAPI_NumCameras(client.Handle()), 0u);
    EXPECT_TRUE(WaitUntil([&] {
        const std::string log = sim.Proc().Stderr();
        return log.find("HELLO -> ok") != std::string::npos &&
               log.find("LOGIN -> ok admin refused") != std::string::npos &&
               log.find("CAMERA_COUNT -> not logged in") != std::string::npos;
    })) << sim.Proc().Stderr();
}

} // namespace korvel::nvr_sim_test
