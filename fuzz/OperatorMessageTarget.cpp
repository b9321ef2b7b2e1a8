// Operator messages of 1 to 1024 bytes, handled by the real command handling
// of a real client service, in every session state. Rules: no crash; nothing
// read past the bytes received (each message sits in a heap block of exactly
// its size) and nothing written past the longest reply; a reply exactly for
// a LOGIN, and only "OK" or "FAILURE".
//
// Input: byte 0 chooses the state, the rest is the message.
//   bits 0-1  the session: not logged in, "guard" (2), "chief" (9), "minus" (-1)
//   bits 2-3  its current camera: none, "gate" (Pelco 4), "yard" (Pelco 200),
//             "high" (Pelco 300, which no command addresses)
//   bits 4-5  the chooser slot: empty, this session, the other session, a
//             session that has ended
//   bit 6     the other session holds "gate" with priority 5
//   bit 7     logins are required
//
// The service runs on its own loop in this thread, with cameras on
// pseudo-terminals and its two sessions connected over loopback (the first
// one again whenever it has to be without a camera); each message runs the
// loop until it is idle again (the holds last 0 seconds), so that one input
// leaves nothing behind for the next.
#include "Check.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ClientSession.h"
#include "client/CommandHandling.h"
#include "client/OperatorProtocol.h"

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace korvel {

namespace {

constexpr std::size_t MaxMessage = ClientSession::BufferSize;
constexpr std::uint16_t EndedSession = 1; // no client connects from port 1

const UserTable Users = {
    {"guard", {"guard", "pw", 2}},
    {"chief", {"chief", "", 9}},
    {"minus", {"minus", "two words", -1}},
};

// A serial camera's far end: the camera writes to the slave; we read the master.
struct CameraLine
{
    int master = -1;
    int slave = -1;
    std::string path;

    CameraLine()
    {
        char name[256] = {};
        FUZZ_CHECK(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
        termios settings{};
        ::tcgetattr(master, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(master, TCSANOW, &settings);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        path = name;
    }
};

void Discard(int fd)
{
    char bytes[4096];
    while (::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
    }
}

void DiscardLine(int fd)
{
    char bytes[4096];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

int ConnectTo(std::uint16_t port, std::uint16_t& localPort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    localPort = ntohs(address.sin_port);
    return fd;
}

// One client service with its cameras and two connected sessions.
class Service
{
public:
    Service(boost::asio::io_context& io, bool requireLogin) : io(io)
    {
        AddCamera("gate", 4, gateLine);
        AddCamera("high", 300, highLine);
        AddCamera("yard", 200, yardLine);
        SessionPolicy policy;
        policy.requireLogin = requireLogin;
        // Every LOGIN answered at once: the held-back answers of the
        // failed-login throttle have tests of their own.
        policy.throttleLogins = false;
        server = std::make_unique<ClientServer>(io, "127.0.0.1", 0, cameras, users, policy);
        for (auto& entry : cameras)
            entry.second->SetClientServer(server.get());
        port = server->LocalEndpoint().port();
        mainClient = ConnectTo(port, mainNumber);
        otherClient = ConnectTo(port, otherNumber);
        for (int round = 0; round < 1000 && !(Main() && Other()); ++round)
            io.run_one();
        FUZZ_CHECK(Main() && Other());
    }

    std::shared_ptr<ClientSession> Main() const { return server->FindSession(mainNumber); }
    std::shared_ptr<ClientSession> Other() const { return server->FindSession(otherNumber); }

    void Handle(std::uint8_t state, const std::uint8_t* data, std::size_t count)
    {
        static const char* const currentCameras[] = {"", "gate", "yard", "high"};
        WorkWith(currentCameras[(state >> 2) & 3]);
        const auto session = Main();
        const auto other = Other();
        FUZZ_CHECK(session && other);

        static const char* const names[] = {"", "guard", "chief", "minus"};
        const std::string name = names[state & 3];
        session->LogIn(name, name.empty() ? 0 : server->PriorityOf(name));
        server->LeaveChooseMode(server->Arbiter().ChooserSlot());
        const std::uint16_t choosers[] = {0, mainNumber, otherNumber, EndedSession};
        server->EnterChooseMode(choosers[(state >> 4) & 3]);
        if (state & 0x40)
            TakeGate(*other);

        const std::unique_ptr<char[]> message(new char[count]);
        std::memcpy(message.get(), data, count);
        const std::unique_ptr<char[]> reply(new char[MaxReplyLength]);
        const std::size_t length =
            HandleMessage(*server, *session, message.get(), count, reply.get());

        const bool login = count >= 5 && std::memcmp(data, "LOGIN", 5) == 0;
        FUZZ_CHECK((length > 0) == login);
        if (length > 0) {
            const std::string text(reply.get(), length);
            FUZZ_CHECK(text == OperatorProtocol::LoginAccepted ||
                       text == OperatorProtocol::LoginRefused);
        }
        RunUntilIdle();
    }

private:
    void AddCamera(const char* address, unsigned pelcoNumber, CameraLine& line)
    {
        CameraSettings settings;
        settings.address = address;
        settings.port = line.path;
        settings.pelcoNumber = pelcoNumber;
        cameras.emplace(address, std::make_unique<TrackCamera>(io, settings, 1, 0));
    }

    // The first session works with that camera (none: a new connection).
    void WorkWith(const std::string& camera)
    {
        const Arbitration& arbiter = server->Arbiter();
        const auto current = arbiter.CurrentCamera(Main()->GetConnection());
        if (camera.empty()) {
            if (current == Arbitration::NoCamera)
                return;
            ::close(mainClient);
            mainClient = ConnectTo(port, mainNumber);
            for (int round = 0; round < 1000 && !Main(); ++round)
                io.run_one();
            FUZZ_CHECK(Main());
            RunUntilIdle();
            return;
        }
        if (current != Arbitration::NoCamera && arbiter.Address(current) == camera)
            return;
        server->LeaveChooseMode(arbiter.ChooserSlot());
        server->EnterChooseMode(mainNumber);
        server->SelectCamera(camera, false);
        RunUntilIdle();
    }

    // The other session steers "gate" and keeps the hold just long enough.
    void TakeGate(ClientSession& other)
    {
        other.LogIn("holder", 5);
        const auto gate = server->Arbiter().CameraByAddress("gate");
        const char frame[] = {'\xFF', '\x04', '\x00', '\x04', '\x20', '\x00', '\x28'};
        server->SubmitCommand("gate", otherNumber, 5, frame, sizeof frame);
        for (int round = 0; round < 100 && server->Arbiter().Holder(gate) != otherNumber; ++round)
            io.poll_one();
    }

    void RunUntilIdle()
    {
        for (int round = 0; round < 100; ++round) {
            io.restart();
            if (io.poll() == 0)
                break;
        }
        Discard(mainClient);
        Discard(otherClient);
        DiscardLine(gateLine.master);
        DiscardLine(highLine.master);
        DiscardLine(yardLine.master);
    }

    boost::asio::io_context& io;
    CameraLine gateLine;
    CameraLine highLine;
    CameraLine yardLine;
    CameraTable cameras;
    UserTable users = Users;
    std::unique_ptr<ClientServer> server;
    std::uint16_t port = 0;
    int mainClient = -1;
    int otherClient = -1;
    std::uint16_t mainNumber = 0;
    std::uint16_t otherNumber = 0;
};

// Made once, kept for the life of the process.
struct World
{
    boost::asio::io_context io;
    Service open{io, false};
    Service strict{io, true};
};

World& TheWorld()
{
    static World* world = new World;
    return *world;
}

} // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size - 1 > MaxMessage)
        return 0;
    World& world = TheWorld();
    Service& service = (data[0] & 0x80) ? world.strict : world.open;
    service.Handle(data[0], data + 1, size - 1);
    return 0;
}

} // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return korvel::FuzzOne(data, size);
}
