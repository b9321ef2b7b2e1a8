// The NVR worker in this process on simulated time, against the NVR
// simulator: its login wait, retry interval and stop, and the triggers it
// reports, each proven by moving the time rather than by sleeping. A step
// that checks the log right after "waits" sees everything the worker did
// before it came to wait for that deadline, and nothing can follow until
// the time moves on.
#include "NvrHarness.h"

#include "nvr/NVRConnection.h"
#include "nvr/NvrCameraDirectory.h"
#include "support/LogCapture.h"
#include "support/SimulatedTime.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <sstream>

namespace korvel::nvr_worker_test {

namespace {

const std::string Refused =
    "TLAPI_Login failure on NVR 127.0.0.1 for user 'op': incorrect user/password";
const std::string Retry = "TLAPI_Login failure on NVR 127.0.0.1.  Will retry at 30 second "
                          "intervals";
const std::string LoggedIn = "TLAPI_Login succeeded on NVR 127.0.0.1 for user 'op'";
const std::string OpenFailed = "TLAPI_Open() failure";
const std::string Closing = "Closing connection to NVR at 127.0.0.1.";

const std::vector<std::string> NvrRecords = {"user op secret", "user setup setup",
                                             "camera 5 127.0.0.20 Front"};

// What the worker told its sink, kept for the test's thread.
class SinkRecord
{
public:
    NvrSink Sink()
    {
        NvrSink sink;
        sink.phaseReached = [this](NvrPhase phase) {
            static const char* const names[] = {"Connecting", "LoggedIn", "Retrying",
                                                "LoginRefused", "Stopped"};
            Add(phases, names[static_cast<int>(phase)]);
        };
        sink.softTriggerFired = [this](const std::string& camera) { Add(fired, camera); };
        return sink;
    }

    std::string Phases() const { return Joined(phases); }
    std::string Fired() const { return Joined(fired); }

private:
    void Add(std::vector<std::string>& list, const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(mutex);
        list.push_back(entry);
    }

    std::string Joined(const std::vector<std::string>& list) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string joined;
        for (const auto& entry : list)
            joined += (joined.empty() ? "" : ", ") + entry;
        return joined;
    }

    mutable std::mutex mutex;
    std::vector<std::string> phases;
    std::vector<std::string> fired;
};

// One connection to an NVR on a reserved port at 127.0.0.1, for the camera
// 127.0.0.20; steps as in the table below.
class Scenario
{
public:
    Scenario(const std::string& password, int retryIntervalSecs)
        : retryIntervalSecs(retryIntervalSecs)
    {
        settings.password = password;
    }

    ~Scenario()
    {
        if (connection)
            Stop();
    }

    void Run(const std::string& step)
    {
        std::istringstream words(step);
        std::string verb;
        words >> verb;
        std::string rest;
        std::getline(words >> std::ws, rest);
        std::istringstream arguments(rest);
        if (verb == "start") {
            connection = std::make_unique<NVRConnection>(settings, retryIntervalSecs, cameras,
                                                         record.Sink(), time);
            connection->Start();
        } else if (verb == "nvr") {
            Nvr(rest);
        } else if (verb == "waits") {
            long long ms = 0;
            arguments >> ms;
            ASSERT_TRUE(time.AwaitAlarm(time.Now() + std::chrono::milliseconds(ms)))
                << "the worker does not come to wait " << ms << " ms\n"
                << log.Text();
        } else if (verb == "advance") {
            long long ms = 0;
            arguments >> ms;
            time.Advance(std::chrono::milliseconds(ms));
        } else if (verb == "log" || verb == "await-log") {
            int count = 0;
            arguments >> count;
            std::string text;
            std::getline(arguments >> std::ws, text);
            if (verb == "await-log")
                WaitUntil([&] { return log.Count(text) >= count; });
            EXPECT_EQ(log.Count(text), count) << text << "\n" << log.Text();
        } else if (verb == "await-fired") {
            // Complete once as long as expected: any other report shows.
            WaitUntil([&] { return record.Fired().size() >= rest.size(); });
            EXPECT_EQ(record.Fired(), rest);
        } else if (verb == "served") {
            // The simulator has answered such a request: the answer is on
            // the worker's socket. (An association is stored once the
            // worker knows its triggers.)
            EXPECT_TRUE(WaitUntil([&] {
                return nvr->Proc().Stderr().find(" " + rest + " -> ") != std::string::npos;
            })) << nvr->Proc().Stderr();
        } else if (verb == "stop") {
            connection->Close();
            Stop();
        } else {
            ADD_FAILURE() << "unknown step " << step;
        }
    }

    std::string Phases() const { return record.Phases(); }

private:
    void Nvr(const std::string& what)
    {
        if (what == "up")
            nvr = std::make_unique<NvrSimulator>("127.0.0.1:" + std::to_string(port.Port()),
                                                 NvrRecords, std::vector<std::string>{"-v"});
        else if (what.rfind("user-trigger ", 0) == 0)
            NvrUser(nvr->Host(), nvr->Port(), "setup", "setup")
                .CreateSoftTrigger("User trigger", what.substr(13));
        else if (what == "quit")
            nvr->Quit();
        else
            nvr->Command(what);
    }

    // A stop must end any wait without the time moving; should it not, the
    // time is moved on by a day so that the test can end.
    void Stop()
    {
        auto ended = std::async(std::launch::async, [this] { connection.reset(); });
        if (ended.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "the stop did not end the worker's wait";
            time.Advance(std::chrono::hours(24));
        }
        ended.get();
    }

    const int retryIntervalSecs;
    const LogCapture log;
    ReservedPort port{"127.0.0.1"};
    NvrSettings settings{"127.0.0.1", port.Port(), "op", ""};
    SimulatedTime time;
    NvrCameraDirectory cameras{{"127.0.0.20"}};
    SinkRecord record;
    std::unique_ptr<NvrSimulator> nvr;
    std::unique_ptr<NVRConnection> connection;
};

} // namespace

TEST(NvrWorker, LoginWaitRetryStopAndTriggersOnSimulatedTime)
{
    const struct
    {
        const char* behaviour;
        const char* password;
        int retryIntervalSecs;
        std::vector<std::string> steps;
        const char* phases; // null: not checked (a stop may come before or after the refusal)
    } cases[] = {
        {"a refused login is judged when the minute's login wait ends, and ends the worker",
         "wrong",
         30,
         {"nvr up", "start", "waits 60000", "served LOGIN", "advance 59999", "log 0 " + Refused,
          "advance 1", "await-log 1 " + Refused, "advance 3600000", "stop", "log 1 " + Refused,
          "log 0 " + Retry, "log 0 " + LoggedIn, "log 1 " + Closing},
         "Connecting, LoginRefused"},
        {"an NVR away: attempts at the retry interval, one retry line per outage",
         "secret",
         30,
         {"start", "waits 30000", "log 1 " + OpenFailed, "log 1 " + Retry, "advance 29999",
          "log 1 " + OpenFailed, "advance 1", "waits 30000", "log 2 " + OpenFailed,
          "log 1 " + Retry, "nvr up", "advance 30000", "await-log 1 " + LoggedIn, "log 1 " + Retry,
          "nvr quit", "waits 30000", "log 2 " + Retry, "stop"},
         "Connecting, Retrying, Connecting, Retrying, Connecting, LoggedIn, Connecting, Retrying, "
         "Stopped"},
        {"a session the NVR drops is taken up again at once, without the retry interval",
         "secret",
         30,
         {"nvr up", "start", "await-log 1 " + LoggedIn, "nvr drop", "await-log 2 " + LoggedIn,
          "log 0 " + Retry, "stop"},
         "Connecting, LoggedIn, Connecting, LoggedIn, Stopped"},
        {"an interval below a second: attempts a tenth of a second apart, not at once",
         "secret",
         0,
         {"start", "waits 100", "log 1 " + OpenFailed, "advance 99", "log 1 " + OpenFailed,
          "advance 1", "waits 100", "log 2 " + OpenFailed, "stop"},
         nullptr},
        {"a stop ends the login wait at once",
         "wrong",
         30,
         {"nvr up", "start", "waits 60000", "stop", "log 0 " + Refused, "log 1 " + Closing},
         nullptr},
        {"a stop ends the retry wait at once",
         "secret",
         30,
         {"start", "waits 30000", "stop", "log 1 " + Closing},
         "Connecting, Retrying, Stopped"},
        {"only triggers of ours fire, in the order the NVR sent them",
         "secret",
         30,
         {"nvr up", "nvr user-trigger DOOR_1", "start", "served ASSOCIATION_UPDATE", "nvr fire 1",
          "nvr fire KORVEL_5", "nvr fire 1", "nvr fire 2", "await-fired 127.0.0.20, 127.0.0.20",
          "stop"},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        Scenario scenario(c.password, c.retryIntervalSecs);
        for (const auto& step : c.steps) {
            SCOPED_TRACE(step);
            scenario.Run(step);
            if (testing::Test::HasFatalFailure())
                return;
        }
        if (c.phases) {
            EXPECT_EQ(scenario.Phases(), c.phases);
        }
    }
}

} // namespace korvel::nvr_worker_test
