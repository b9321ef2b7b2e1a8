#pragma once

#include "clock/SteadyTime.h"
#include "config/Settings.h"
#include "nvr/NvrSink.h"
#include "platform/SocketWait.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

namespace korvel {

class NvrCameraDirectory;

// One logged-in session with one NVR, kept by a worker thread of its own.
//
// The worker logs in, retries at the configured interval while the NVR cannot
// be reached, and on every due refresh brings the NVR's camera ids and names,
// the soft triggers, the cameras' associations and the event links into line
// with the configured track cameras. What the operators need to hear of (a
// camera's new name, a soft trigger of ours that fired) goes to the sink.
//
// What the worker waits for, and how long, on the time source it is given:
//   the connection to open       no limit of its own: the library reports a
//                                connection that cannot be made;
//   the login's outcome          LoginWait after the request; a refusal is
//                                judged when the wait ends;
//   a new soft trigger confirmed AcknowledgementWait;
//   the next login attempt       the retry interval after a failed one, and
//                                never less than MinimumRetryPause;
//   news from the NVR            no limit, while logged in and idle.
// Each of these waits blocks on the library's socket and a wake-up
// (NVRWorker.cpp), and ends early on a stop request. Each library call besides
// waits up to ReplyTimeoutSecs for its reply (the library keeps that to 5 s).
//
// Threads:
//   owner          construction, Start, destruction;
//   any            Close, StopWorker;
//   worker         Run and everything it calls: every library call, and
//                  OnEvent, which the library calls from inside those calls
//                  on the same thread.
// The fields below are the worker's alone (the session handle also the
// destructor's, once the worker has ended); the camera directory is shared with the other connections
// and locks itself; the wake-up may be rung from any thread, and the retry
// interval and a requested refresh are atomic.
class NVRConnection
{
public:
    static constexpr auto LoginWait = std::chrono::seconds(60);
    static constexpr auto AcknowledgementWait = std::chrono::seconds(20);
    static constexpr int ReplyTimeoutSecs = 60;
    // So that an interval below one second does not make the worker spin
    // against an NVR that refuses at once: the pause it always had.
    static constexpr auto MinimumRetryPause = std::chrono::milliseconds(100);

    NVRConnection(const NvrSettings& settings, int retryIntervalSecs, NvrCameraDirectory& cameras,
                  NvrSink sink, TimeSource& time = RealTime());
    // Stops the worker if it runs, waits for it, and ends the library session.
    ~NVRConnection();
    NVRConnection(const NVRConnection&) = delete;
    NVRConnection& operator=(const NVRConnection&) = delete;

    // Starts the worker.
    void Start();
    // Logs that the connection closes and asks the worker to stop; does not
    // wait. Every wait of the worker ends early on the request.
    void Close();
    // The same request without the log line (a run that failed).
    void StopWorker();
    // Any thread: false once the worker has ended (or before it started);
    // destroying the connection then waits for nothing.
    bool WorkerRunning() const { return workerRunning; }
    // Any thread: the interval of the retry pauses from the next one on.
    void SetRetryInterval(int seconds) { retryIntervalSecs = seconds; }
    // Any thread: the configured cameras changed; the worker brings the NVR
    // into line with them again, as soon as it is logged in and idle (a
    // refresh under way is followed by another).
    void RequestRefresh();

    // Session event handler: event type, code, the event record and its
    // length in bytes (record may be null).
    void OnEvent(int eventType, int code, const void* record, int recordLength);

private:
    enum State
    {
        Disconnected,
        LoginRefused,
        Opened,
        LoggedIn
    };

    // The callback registered with the library; context is the connection.
    static int EventCallback(int eventType, int code, const void* record, int recordLength,
                             void* context);

    // Worker (NVRWorker.cpp).
    void Run(std::stop_token stopToken);
    void RunUntilRefused();
    void Refresh();
    void CloseSession();
    bool Stopping() const { return stop.stop_requested(); }
    void Report(NvrPhase phase) const;
    // Hands the events the library holds to OnEvent; when it holds none,
    // waits until the NVR sends more, a stop request comes, or the deadline
    // (if any) passes, and then hands over what came. Returns what
    // TLAPI_Select returned: negative once the connection has failed.
    int SelectOrWait(std::optional<TimeSource::TimePoint> deadline);
    // Waits out the duration without a connection; false when a stop request
    // ended the wait.
    bool Pause(TimeSource::Duration duration);
    // One wait: until the socket (-1: none) has something to read, the
    // wake-up rings, or the deadline (if any) passes.
    void Block(int socket, std::optional<TimeSource::TimePoint> deadline);

    // Login (NVRLogin.cpp).
    int Connect();
    int AwaitOpened();
    void AwaitLoggedIn();

    // Refresh steps; each returns early on a stop request.
    void UpdateCameraInventory();    // CameraInventory.cpp
    void ScanSoftTriggers();         // SoftTriggers.cpp
    void CreateSoftTriggers();       // SoftTriggers.cpp
    void AwaitTriggerAcknowledged(); // SoftTriggers.cpp
    void UpdateAssociations();       // Associations.cpp
    void RemoveForeignEventLinks();  // EventLinks.cpp

    const NvrSettings settings;
    std::atomic<int> retryIntervalSecs;
    std::atomic<bool> refreshAsked{false};
    std::atomic<bool> workerRunning{false};
    NvrCameraDirectory& cameras;
    const NvrSink sink;
    TimeSource& time;
    SocketWait wakeUp;

    std::stop_token stop;
    std::uint32_t handle = 0;
    State state = Disconnected;
    bool refreshRequested = true;
    bool triggerAcknowledged = true;
    std::uint32_t camerasListed = 0; // by the last inventory
    // Our soft triggers on this NVR: trigger id to the address of the camera
    // whose NVR id the trigger's GUID names.
    std::map<std::uint32_t, std::string> softTriggers;

    std::jthread worker;
};

} // namespace korvel
