// Operators that misbehave against the service run as a process: they vanish
// in the middle of an exchange, never read, connect and leave by the
// thousand, or all log in at once. The camera is camsim on TCP.
#include "support/Camsim.h"
#include "support/OperatorClient.h"
#include "support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace korvel::operator_fault_test {

namespace {

const char* const Users[] = {
    R"(<User Name="steer" Password="pw" Priority="5" />)",
    R"(<User Name="watch" Password="" Priority="1" />)",
    R"(<User Name="gone" Password="" Priority="9" />)",
};
const std::string CameraMessage = "1CAMERA\t127.0.0.1\t3";
const std::string YouHaveControl = "#0000F0 You have control";

struct Rig
{
    std::unique_ptr<Camsim> camera;
    std::unique_ptr<ServiceProcess> service;
};

Rig StartRig(int lockTimeSecs, const std::vector<std::string>& extraUsers = {})
{
    Rig rig;
    rig.camera = Camsim::Tcp();
    ServiceSetup setup;
    setup.lockTimeSecs = lockTimeSecs;
    setup.users.assign(std::begin(Users), std::end(Users));
    setup.users.insert(setup.users.end(), extraUsers.begin(), extraUsers.end());
    setup.cameras = {R"(<Camera Address="127.0.0.1" Port=")" + std::to_string(rig.camera->Port()) +
                     R"(" PelcoNumber="3" />)"};
    rig.service = std::make_unique<ServiceProcess>(setup);
    if (!WaitUntil([&] { return rig.camera->Connections() == 1; }))
        throw std::runtime_error("the service did not connect to the camera");
    return rig;
}

// True when the camera has received the frames first..last, in order, as
// the last frames it got.
bool CameraEndsWith(const Camsim& camera, unsigned first, unsigned last,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    if (!camera.WaitForNumber(last, timeout))
        return false;
    const std::vector<unsigned> numbers = camera.Numbers();
    const std::size_t count = last - first + 1;
    if (numbers.size() < count)
        return false;
    for (std::size_t i = 0; i < count; ++i)
        if (numbers[numbers.size() - count + i] != first + i)
            return false;
    return true;
}

// Sends the frames one message at a time; false unless all reach the camera.
bool Steer(OperatorClient& client, const Camsim& camera, unsigned& next, unsigned count,
           std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const unsigned first = next;
    for (unsigned i = 0; i < count; ++i)
        if (!SendMessage(client, NumberedFrame(3, next++)))
            return false;
    Drain(client);
    return CameraEndsWith(camera, first, next - 1, timeout);
}

} // namespace

// Each way of vanishing hurts nobody else: the steering operator keeps the
// camera, nothing that was admitted is lost, and the vanished session's
// descriptor is given back.
TEST(OperatorFaults, OperatorsVanishingMidExchange)
{
    Rig rig = StartRig(2);
    ServiceProcess& service = *rig.service;
    const Camsim& camera = *rig.camera;
    auto steer = LogIn(service.Port(), "steer", "pw");
    unsigned next = 1;
    ASSERT_TRUE(Steer(*steer, camera, next, 5)) << camera.Output();
    const Footprint baseline = service.Settled();

    const struct
    {
        const char* way;
        std::function<void()> vanish;
    } ways[] = {
        {"a watcher resets while control notifications stream to it",
         [&] {
             auto watcher = LogIn(service.Port(), "watch", "");
             // Whether it gets through or not, the watcher now works with the camera.
             ASSERT_TRUE(SendMessage(*watcher, NumberedFrame(3, 0)));
             const unsigned first = next;
             for (int i = 0; i < 200; ++i) {
                 ASSERT_TRUE(SendMessage(*steer, NumberedFrame(3, next++)));
                 if (i == 100)
                     watcher->Reset();
             }
             EXPECT_TRUE(CameraEndsWith(camera, first, next - 1));
         }},
        {"a holder sends a burst and resets before reading any answer",
         [&] {
             auto holder = LogIn(service.Port(), "gone", "");
             const unsigned first = next;
             for (int i = 0; i < 50; ++i)
                 ASSERT_TRUE(SendMessage(*holder, NumberedFrame(3, next++)));
             holder->Reset();
             EXPECT_TRUE(CameraEndsWith(camera, first, next - 1)) << "every admitted frame";
             // The vanished holder's hold lapses by itself; steer then gets through.
             EXPECT_TRUE(WaitUntil(
                 [&] { return Steer(*steer, camera, next, 1, std::chrono::milliseconds(300)); }));
         }},
        {"an operator closes half-way through its LOGIN",
         [&] {
             OperatorClient half(service.Port());
             ASSERT_FALSE(half.ReadGreeting().empty());
             ASSERT_TRUE(SendMessage(half, "LOGIN ste"));
         }},
        {"an operator resets as soon as it has sent its LOGIN",
         [&] {
             OperatorClient hasty(service.Port());
             hasty.Send("LOGIN steer pw");
             hasty.Reset();
         }},
        {"an operator resets in the middle of a frame",
         [&] {
             OperatorClient torn(service.Port());
             ASSERT_FALSE(torn.ReadGreeting().empty());
             ASSERT_TRUE(SendMessage(torn, NumberedFrame(3, 9999).substr(0, 3)));
             torn.Reset();
         }},
    };
    for (const auto& c : ways) {
        SCOPED_TRACE(c.way);
        c.vanish();
        EXPECT_TRUE(WaitUntil([&] { return Steer(*steer, camera, next, 5); }))
            << "the steering operator is still served\n"
            << camera.Output();
        ExpectRecovered(service, baseline);
    }
    EXPECT_EQ(service.CountLog("Failed login from 127.0.0.1 by user ste"), 1) << service.Log();
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// An operator that never reads while control notifications pile up for it
// is dropped once its queue is full; the operator who steers is not slowed
// down and loses nothing.
TEST(OperatorFaults, OperatorThatNeverReads)
{
    // A long name makes long notifications, so that the queue fills soon.
    const std::string longName(900, 'h');
    Rig rig = StartRig(60, {R"(<User Name=")" + longName + R"(" Password="" Priority="9" />)",
                            R"(<User Name="sleeper" Password="" Priority="1" />)"});
    ServiceProcess& service = *rig.service;
    auto holder = LogIn(service.Port(), longName, "");
    unsigned number = 1;
    holder->Send(NumberedFrame(3, number++));
    ASSERT_EQ(holder->Read(CameraMessage.size() + YouHaveControl.size()),
              CameraMessage + YouHaveControl);
    const Footprint baseline = service.Settled();

    OperatorClient::Options smallWindow;
    smallWindow.receiveBufferBytes = 4096;
    auto sleeper = LogIn(service.Port(), "sleeper", "", smallWindow);
    ASSERT_TRUE(SendMessage(*sleeper, NumberedFrame(3, 0))); // refused: it only watches

    const std::string lost = "Lost session with KorvelControl user sleeper at 127.0.0.1";
    while (service.CountLog(lost) == 0) {
        ASSERT_LT(number, 20000u) << "the sleeper's queue is never bounded";
        for (int i = 0; i < 100; ++i) {
            holder->Send(NumberedFrame(3, number++));
            ASSERT_EQ(holder->Read(YouHaveControl.size()), YouHaveControl) << "frame " << number;
        }
    }
    EXPECT_TRUE(sleeper->WaitClosed(std::chrono::seconds(30))) << "the service closed it";
    EXPECT_TRUE(CameraEndsWith(*rig.camera, 1, number - 1)) << "every frame reached the camera";
    EXPECT_EQ(service.CountLog(lost), 1) << service.Log();

    ExpectRecovered(service, baseline);
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

// Two thousand operators come and go in every way there is to go; the
// service ends each session and keeps nothing of it.
TEST(OperatorFaults, TwoThousandConnectDisconnectCycles)
{
    Rig rig = StartRig(1);
    ServiceProcess& service = *rig.service;
    const struct
    {
        const char* way;
        std::function<void(OperatorClient&)> leave;
    } ways[] = {
        {"closes before reading the greeting", [](OperatorClient&) {}},
        {"closes after the greeting", [](OperatorClient& client) { client.ReadGreeting(); }},
        {"resets after the greeting",
         [](OperatorClient& client) {
             client.ReadGreeting();
             client.Reset();
         }},
        {"logs in and closes",
         [](OperatorClient& client) {
             client.ReadGreeting();
             client.Send("LOGIN steer pw");
             client.Read(2);
         }},
        {"sends half a LOGIN and resets",
         [](OperatorClient& client) {
             client.Send("LOGIN st");
             client.Reset();
         }},
        {"sends a frame and closes",
         [&](OperatorClient& client) {
             client.ReadGreeting();
             client.Send(NumberedFrame(3, 7));
         }},
    };
    int logins = 0;
    const auto cycle = [&](int round) {
        const std::size_t way = static_cast<std::size_t>(round) % std::size(ways);
        OperatorClient client(service.Port());
        ways[way].leave(client);
        logins += way == 3 ? 1 : 0;
    };
    for (int round = 0; round < 60; ++round)
        cycle(round);
    const Footprint baseline = service.Settled();

    for (int round = 0; round < 2000; ++round)
        cycle(round);
    EXPECT_EQ(service.CountLog("Login from 127.0.0.1 by user steer"), logins)
        << service.Log().substr(0, 4000);
    ExpectRecovered(service, baseline);
    EXPECT_TRUE(service.Stop()) << service.Stderr();
}

// A hundred operators log in at the same moment; all are answered, all are
// registered at once, and all leave without a trace.
TEST(OperatorFaults, HundredConcurrentLogins)
{
    Rig rig = StartRig(1);
    ServiceProcess& service = *rig.service;
    const Footprint baseline = service.Settled();

    const int operators = 100;
    std::mutex mutex;
    std::condition_variable changed;
    int ready = 0;
    bool go = false;
    bool leave = false;
    std::atomic<int> loggedIn{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < operators; ++i) {
        threads.emplace_back([&] {
            OperatorClient client(service.Port());
            const bool greeted = !client.ReadGreeting().empty();
            std::unique_lock<std::mutex> lock(mutex);
            ++ready;
            changed.notify_all();
            changed.wait(lock, [&] { return go; });
            lock.unlock();
            if (greeted) {
                client.Send("LOGIN watch");
                if (client.Read(2) == "OK")
                    ++loggedIn;
            }
            lock.lock();
            changed.wait(lock, [&] { return leave; });
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return ready == operators; });
        go = true;
        changed.notify_all();
    }
    EXPECT_TRUE(WaitUntil([&] { return loggedIn == operators; })) << loggedIn;
    EXPECT_EQ(service.Now().descriptors, baseline.descriptors + operators);
    {
        std::lock_guard<std::mutex> lock(mutex);
        leave = true;
        changed.notify_all();
    }
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(service.CountLog("Login from 127.0.0.1 by user watch with priority 1"), operators);
    ExpectRecovered(service, baseline);
    EXPECT_TRUE(service.Stop()) << service.Log() << service.Stderr();
}

} // namespace korvel::operator_fault_test
