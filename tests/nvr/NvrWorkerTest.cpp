// The NVR worker in this process on simulated time, against the NVR
// simulator: its login wait, retry interval and stop, the pause that ends
// each of its iterations, the refreshes it makes, reloads between its
// library calls, and the triggers it reports, each proven by moving the time
// rather than by sleeping. A step that checks the log right after "waits"
// sees everything the worker did before it came to wait for that deadline,
// and nothing can follow until the time moves on. Before the time is moved
// past a deadline by which the simulator's message must have come, the
// simulator's log shows the message written ("nvr-log ... sent event").
#include "NvrHarness.h"

#include "nvr/NVRConnection.h"
#include "nvr/NvrCameraDirectory.h"
#include "support/LogCapture.h"
#include "support/SimulatedTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace korvel::nvr_worker_test {

namespace {

const std::string Refused =
    "TLAPI_Login failure on NVR 127.0.0.1 for user 'op': incorrect user/password";
const std::string Retry = "TLAPI_Login failure on NVR 127.0.0.1.  Will retry at 30 second "
                          "intervals";
const std::string LoggedIn = "TLAPI_Login succeeded on NVR 127.0.0.1 for user 'op'";
const std::string OpenFailed = "TLAPI_Open() failure";
const std::string Closing = "Closing connection to NVR at 127.0.0.1.";

const std::string Failure = "Exception: ";

const std::vector<std::string> NvrRecords = {"user op secret", "user setup setup",
                                             "camera 5 127.0.0.20 Front",
                                             "camera 6 127.0.0.21 Yard"};

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
        sink.cameraIdLearned = [this](const std::string&, std::uint32_t) {
            if (failNext.exchange(false))
                throw std::runtime_error("the sink failed");
        };
        return sink;
    }

    // The next camera id the worker reports fails.
    void FailNext() { failNext = true; }

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

    std::atomic<bool> failNext{false};
    mutable std::mutex mutex;
    std::vector<std::string> phases;
    std::vector<std::string> fired;
};

// One connection to an NVR on a reserved port at 127.0.0.1, for the cameras
// 127.0.0.20 and 127.0.0.21 (NVR cameras 5 and 6) unless a reload says
// otherwise; steps as in the table below.
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
            // The simulator has handled such a request (an association is
            // stored once the worker knows its triggers). Its answer may
            // still be on its way: no reason to move the time on.
            EXPECT_TRUE(WaitUntil([&] {
                return nvr->Proc().Stderr().find(" " + rest + " -> ") != std::string::npos;
            })) << nvr->Proc().Stderr();
        } else if (verb == "nvr-log") {
            // The simulator's request log (with the messages it wrote) has
            // the text that many times.
            std::size_t count = 0;
            arguments >> count;
            std::string text;
            std::getline(arguments >> std::ws, text);
            const auto found = [&] { return Occurrences(nvr->Proc().Stderr(), text); };
            WaitUntil([&] { return found() >= count; });
            EXPECT_EQ(found(), count) << text << "\n" << nvr->Proc().Stderr();
        } else if (verb == "reload") {
            // As the service's reload does: the cameras, then a refresh.
            std::vector<std::string> addresses;
            for (std::string address; arguments >> address;)
                addresses.push_back(address);
            cameras.SetCameras(addresses);
            if (connection)
                connection->RequestRefresh();
        } else if (verb == "sink-fails") {
            record.FailNext();
        } else if (verb == "await-ended") {
            EXPECT_TRUE(WaitUntil([&] { return !connection->WorkerRunning(); }));
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
    NvrCameraDirectory cameras{{"127.0.0.20", "127.0.0.21"}};
    SinkRecord record;
    std::unique_ptr<NvrSimulator> nvr;
    std::unique_ptr<NVRConnection> connection;
};

struct Case
{
    const char* behaviour;
    const char* password;
    int retryIntervalSecs;
    std::vector<std::string> steps;
    const char* phases; // null: not checked (a stop may come before or after the refusal)
};

void RunCases(const std::vector<Case>& cases)
{
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

} // namespace

TEST(NvrWorker, LoginWaitRetryStopAndTriggersOnSimulatedTime)
{
    RunCases({
        {"a refused login is judged when the minute's login wait ends, and ends the worker",
         "wrong",
         30,
         {"nvr up", "start", "waits 60000", "nvr-log 1 sent event 71 code 6", "advance 59999",
          "log 0 " + Refused, "advance 1", "await-log 1 " + Refused, "advance 3600000", "stop",
          "log 1 " + Refused, "log 0 " + Retry, "log 0 " + LoggedIn, "log 1 " + Closing},
         "Connecting, LoginRefused"},
        {"a refused login on a session that had logged in ends the worker as well",
         "secret",
         30,
         {"nvr up", "start", "await-log 1 " + LoggedIn, "nvr revoke", "await-log 1 " + Refused,
          "await-ended", "stop", "log 1 " + LoggedIn,
          "log 0 " + Retry},
         "Connecting, LoggedIn, LoginRefused"},
        {"an NVR away: attempts the retry interval and the iteration's pause apart, one retry "
         "line per outage",
         "secret",
         30,
         {"start", "waits 30000", "log 1 " + OpenFailed, "log 1 " + Retry, "advance 29999",
          "log 1 " + OpenFailed, "advance 1", "waits 200", "advance 199", "log 1 " + OpenFailed,
          "advance 1", "waits 30000", "log 2 " + OpenFailed, "log 1 " + Retry, "nvr up",
          "advance 30000", "waits 200", "advance 200", "await-log 1 " + LoggedIn,
          "log 1 " + Retry, "nvr quit", "waits 200", "advance 200", "waits 30000",
          "log 2 " + Retry, "stop"},
         "Connecting, Retrying, Connecting, Retrying, Connecting, LoggedIn, Connecting, Retrying, "
         "Stopped"},
        {"a session the NVR drops is taken up again after the iteration's pause, without the "
         "retry interval",
         "secret",
         30,
         {"nvr up", "start", "await-log 1 " + LoggedIn, "nvr drop", "waits 200", "advance 200",
          "await-log 2 " + LoggedIn, "log 0 " + Retry, "stop"},
         "Connecting, LoggedIn, Connecting, LoggedIn, Stopped"},
        {"an interval of 0: attempts the iteration's pause apart, not at once",
         "secret",
         0,
         {"start", "waits 200", "log 1 " + OpenFailed, "advance 199", "log 1 " + OpenFailed,
          "advance 1", "waits 200", "log 2 " + OpenFailed,
          "log 1 TLAPI_Login failure on NVR 127.0.0.1.  Will retry at 0 second intervals",
          "stop"},
         nullptr},
        {"a login the NVR never answers: the session is closed, tried again after the interval",
         "secret",
         30,
         {"nvr up", "nvr logins ignore", "start", "waits 60000", "nvr-log 1 LOGIN -> ",
          "advance 60000", "waits 30000", "log 1 " + Retry, "nvr-log 1 closed: client left",
          "advance 30000", "waits 200", "advance 200", "waits 60000", "nvr logins check",
          "advance 60000", "waits 30000", "log 1 " + Retry, "nvr-log 2 closed: client left",
          "advance 30000", "waits 200", "advance 200", "await-log 1 " + LoggedIn, "stop",
          "log 1 " + Retry, "log 0 " + Refused},
         "Connecting, Retrying, Connecting, Retrying, Connecting, LoggedIn, Stopped"},
        {"a login answered with neither success nor refusal counts as a failed attempt",
         "secret",
         30,
         {"nvr up", "nvr logins 5", "start", "waits 60000", "nvr-log 1 sent event 71 code 5",
          "advance 60000", "waits 30000", "log 1 " + Retry, "nvr-log 1 closed: client left",
          "stop", "log 0 " + Refused, "log 0 " + LoggedIn},
         "Connecting, Retrying, Stopped"},
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
    });
}

// A refresh is due after a login, a request from the NVR or a reload; what
// comes in one iteration is taken in by one refresh, and neither a reload
// between two library calls nor a failure inside a refresh ends the worker.
TEST(NvrWorker, RefreshesReloadsAndTriggersOnSimulatedTime)
{
    RunCases({
        {"two refresh requests within one iteration give one refresh",
         "secret",
         30,
         {"reload 127.0.0.30", "nvr up", "start", "await-log 1 " + LoggedIn, "waits 200",
          "advance 200", "waits 200", "nvr-log 1 CAMERA_COUNT -> ", "advance 200",
          "nvr refresh", "waits 200", "nvr refresh", "nvr-log 2 sent event 3 ", "advance 200",
          "waits 200", "nvr-log 2 CAMERA_COUNT -> ", "advance 200",
          // A third request, alone, is the barrier: its refresh is the third.
          "nvr refresh", "waits 200", "advance 200", "waits 200", "nvr-log 3 CAMERA_COUNT -> ",
          "stop"},
         "Connecting, LoggedIn, Stopped"},
        {"a reload that removes a camera while the worker scans the soft triggers",
         "secret",
         30,
         {"nvr up", "nvr user-trigger KORVEL_5", "nvr hold TRIGGER_GUID", "start", "waits 200",
          "advance 200", "nvr-log 1 TRIGGER_GUID held", "reload 127.0.0.21", "nvr release",
          "served ASSOCIATION_UPDATE", "nvr fire KORVEL_6", "await-fired 127.0.0.21",
          "log 0 " + Failure, "stop"},
         "Connecting, LoggedIn, Stopped"},
        {"a reload that removes a camera while the worker scans them again for the associations",
         "secret",
         30,
         {"nvr up", "nvr user-trigger KORVEL_5", "nvr user-trigger KORVEL_6",
          "nvr hold TRIGGER_GUID 3", "start", "waits 200", "advance 200",
          "nvr-log 1 TRIGGER_GUID held", "reload 127.0.0.21", "nvr release",
          "served ASSOCIATION_UPDATE", "nvr fire KORVEL_6", "await-fired 127.0.0.21",
          "log 0 " + Failure, "stop"},
         "Connecting, LoggedIn, Stopped"},
        {"a failure inside a refresh is logged once and the worker goes on",
         "secret",
         30,
         {"nvr up", "sink-fails", "start", "await-log 1 " + LoggedIn, "waits 200", "advance 200",
          "waits 200", "log 1 Exception: the sink failed", "reload 127.0.0.20 127.0.0.21",
          "advance 200", "served ASSOCIATION_UPDATE", "nvr fire KORVEL_5",
          "await-fired 127.0.0.20", "stop", "log 1 " + Failure},
         "Connecting, LoggedIn, Stopped"},
        {"only triggers of ours fire, in the order the NVR sent them",
         "secret",
         30,
         {"nvr up", "nvr user-trigger DOOR_1", "start", "waits 200", "advance 200",
          "served ASSOCIATION_UPDATE", "nvr fire 1", "nvr fire KORVEL_5", "nvr fire 1",
          "nvr fire 2", "await-fired 127.0.0.20, 127.0.0.20", "stop"},
         nullptr},
    });
}

} // namespace korvel::nvr_worker_test
