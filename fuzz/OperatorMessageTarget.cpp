// Operator messages of 1 to 1024 bytes, through a real client service, in
// every session state the protocol can reach. Rules: no crash; the parser
// reads nothing past the bytes received (the message sits in a heap block of
// exactly its size); a LOGIN is answered with exactly "OK" or "FAILURE", and
// nothing else is answered so.
//
// Input: byte 0 chooses the state, the rest is the message.
//   bits 0-1  the session: not logged in, "guard" (2), "chief" (9), "minus" (-1)
//   bits 2-3  its current camera: none, "gate" (Pelco 4), "yard" (Pelco 200),
//             "high" (Pelco 300, which no command addresses), handed to it by
//             a soft trigger
//   bits 4-5  the chooser slot: empty, this session, the other session, a
//             session that has ended
//   bit 6     the other session holds "gate" with priority 5
//   bit 7     logins are required
//
// Each input gets a service of its own (control service and session
// registry, on a simulated clock that never moves, so holds stand) over the
// same cameras on pseudo-terminals, on one loop run in this thread; the
// clients are real loopback connections, and the state is set through the
// protocol and the soft trigger as a workstation and an NVR would. The loop
// runs until idle after each step, so that one input leaves nothing behind
// for the next.
#include "Check.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ClientSession.h"
#include "client/ControlService.h"
#include "client/OperatorMessage.h"
#include "client/OperatorProtocol.h"
#include "clock/SteadyTime.h"
#include "support/SimulatedTime.h"

#include <boost/asio/io_context.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace korvel {

namespace {

constexpr std::size_t MaxMessage = ClientSession::BufferSize;

const UserTable Users = {
    {"guard", {"guard", "pw", 2}},
    {"chief", {"chief", "", 9}},
    {"minus", {"minus", "two words", -1}},
    {"holder", {"holder", "", 5}},
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

    void Discard() const
    {
        char bytes[4096];
        while (::read(master, bytes, sizeof bytes) > 0) {
        }
    }
};

// The cameras and the loop, made once and kept for the life of the process.
struct World
{
    World()
    {
        AddCamera("gate", 4, gateLine);
        AddCamera("high", 300, highLine);
        AddCamera("yard", 200, yardLine);
    }

    void AddCamera(const char* address, unsigned pelcoNumber, const CameraLine& line)
    {
        CameraSettings settings;
        settings.address = address;
        settings.port = line.path;
        settings.pelcoNumber = pelcoNumber;
        cameras.emplace(address, std::make_unique<TrackCamera>(io, RealTime(), settings, 1, 60));
    }

    void RunUntilIdle()
    {
        for (int round = 0; round < 100; ++round) {
            io.restart();
            if (io.poll() == 0)
                break;
        }
        for (const CameraLine* line : {&gateLine, &highLine, &yardLine})
            line->Discard();
    }

    boost::asio::io_context io;
    CameraLine gateLine;
    CameraLine highLine;
    CameraLine yardLine;
    CameraTable cameras;
};

World& TheWorld()
{
    static World* world = new World;
    return *world;
}

// The fuzzer's timeout alarm may interrupt a connect that waits for the
// handshake on a busy machine; the connection then goes on by itself.
bool Connect(int fd, const sockaddr_in& address)
{
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    int error = errno;
    if (error == EINTR) {
        pollfd writable{fd, POLLOUT, 0};
        while (::poll(&writable, 1, -1) < 0 && errno == EINTR) {
        }
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
    }
    if (error != 0)
        std::fprintf(stderr, "connect to 127.0.0.1:%u: %s\n", ntohs(address.sin_port),
                     std::strerror(error));
    return error == 0;
}

// A workstation's end of a connection to the service.
class Client
{
public:
    explicit Client(std::uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(Connect(fd, address));
        // Each message is on the service's side of loopback when send returns,
        // not held back until the service acknowledges the one before.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Send(const void* bytes, std::size_t count)
    {
        FUZZ_CHECK(::send(fd, bytes, count, MSG_NOSIGNAL) == static_cast<ssize_t>(count));
    }
    void Send(const std::string& text) { Send(text.data(), text.size()); }
    // Everything the service has sent so far.
    std::string Received()
    {
        std::string received;
        char bytes[4096];
        ssize_t got;
        while ((got = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0)
            received.append(bytes, static_cast<std::size_t>(got));
        return received;
    }
    void Close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

// One input's service, with its two operators connected and greeted.
class Desk
{
public:
    Desk(World& world, bool requireLogin)
        : world(world), control(world.io, time, world.cameras, connections),
          server(world.io, time, connections, control, Users, Policy(requireLogin)),
          listening(server.Listen("127.0.0.1", 0).empty()), mainClient(Port()),
          otherClient(Port())
    {
        world.RunUntilIdle();
        FUZZ_CHECK(listening);
        FUZZ_CHECK(mainClient.Received().rfind(OperatorProtocol::GreetingPrefix, 0) == 0);
        FUZZ_CHECK(otherClient.Received().rfind(OperatorProtocol::GreetingPrefix, 0) == 0);
        // The other session is logged in, so that it counts where logins
        // are required.
        Exchange(otherClient, "LOGIN holder");
    }

    ~Desk()
    {
        mainClient.Close();
        otherClient.Close();
        server.Close();
        control.Close();
        world.RunUntilIdle();
    }

    void SetState(std::uint8_t state)
    {
        if (state & 0x40) {
            // The gate frame also makes "gate" the other session's camera.
            const char frame[] = {'\xFF', '\x04', '\x00', '\x04', '\x20', '\x00', '\x28'};
            Exchange(otherClient, std::string(frame, sizeof frame));
        }
        static const char* const logins[] = {nullptr, "LOGIN guard pw", "LOGIN chief",
                                             "LOGIN minus two words"};
        if (const char* login = logins[state & 3])
            Exchange(mainClient, login);
        static const char* const cameras[] = {nullptr, "gate", "yard", "high"};
        if (const char* camera = cameras[(state >> 2) & 3]) {
            Exchange(mainClient, "CHOOSE");
            control.SoftTriggerFired(camera);
            Exchange(mainClient, "");
        }
        switch ((state >> 4) & 3) {
        case 1:
            Exchange(mainClient, "CHOOSE");
            break;
        case 2:
            Exchange(otherClient, "CHOOSE");
            break;
        case 3: {
            Client ended(Port());
            Exchange(ended, "LOGIN chief");
            Exchange(ended, "CHOOSE");
            ended.Close();
            world.RunUntilIdle();
            break;
        }
        default:
            break;
        }
    }

    // What the service sent back to the message.
    std::string Handle(const std::uint8_t* message, std::size_t count)
    {
        mainClient.Send(message, count);
        world.RunUntilIdle();
        otherClient.Received();
        return mainClient.Received();
    }

private:
    static SessionPolicy Policy(bool requireLogin)
    {
        SessionPolicy policy;
        policy.requireLogin = requireLogin;
        // Every LOGIN answered at once: the held-back answers of the
        // failed-login throttle have tests of their own.
        policy.throttleLogins = false;
        return policy;
    }

    std::uint16_t Port() const { return server.LocalEndpoint().port(); }

    // Sends the text (nothing when empty) and drops what comes back.
    void Exchange(Client& client, const std::string& text)
    {
        if (!text.empty())
            client.Send(text);
        world.RunUntilIdle();
        client.Received();
    }

    World& world;
    SimulatedTime time;
    ConnectionTable connections;
    ControlService control;
    ClientServer server;
    bool listening;
    Client mainClient;
    Client otherClient;
};

} // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size - 1 > MaxMessage)
        return 0;
    const std::uint8_t state = data[0];
    const std::uint8_t* const message = data + 1;
    const std::size_t count = size - 1;

    const std::unique_ptr<char[]> exact(new char[count]);
    std::memcpy(exact.get(), message, count);
    const bool login = count >= 5 && std::memcmp(message, "LOGIN", 5) == 0;
    FUZZ_CHECK((ParseOperatorMessage(exact.get(), count).kind == OperatorMessage::Kind::Login) ==
               login);

    World& world = TheWorld();
    Desk desk(world, (state & 0x80) != 0);
    desk.SetState(state);
    const std::string answer = desk.Handle(message, count);
    const bool replied = answer.rfind(OperatorProtocol::LoginAccepted, 0) == 0 ||
                         answer.rfind(OperatorProtocol::LoginRefused, 0) == 0;
    FUZZ_CHECK(replied == login);
    if (login) {
        FUZZ_CHECK(answer == OperatorProtocol::LoginAccepted ||
                   answer == OperatorProtocol::LoginRefused);
    }
    return 0;
}

} // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return korvel::FuzzOne(data, size);
}
