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
// The worker goes round one iteration after another: a refresh when one is
// due, a login attempt when there is no session, or else a wait for news; and
// then IterationPause, in which what the NVR sends is handed over as it comes
// and collected for the next iteration to act on (so that changes announced
// together give one refresh).
//
// What the worker waits for, and how long, on the time source it is given:
//   the connection to open       no limit of its own: the library reports a
//                                connection that cannot be made;
//   the login's outcome          LoginWait after the request; a refusal is
//                                judged when the wait ends;
//   a new soft trigger confirmed AcknowledgementWait;
//   the next login attempt       the retry interval after a failed one (an
//                                attempt that did not log in leaves no
//                                session), then IterationPause;
//   news from the NVR            no limit, while logged in and idle;
//   the end of an iteration      IterationPause.
// Each of these waits blocks on the library's socket and a wake-up
// (NVRWorker.cpp), and ends early on a stop request; all but the login's end
// early on a refused login too. Each library call besides waits up to
// ReplyTimeoutSecs for its reply (the library keeps that to 5 s).
//
// A refused login (event 71, code 6) ends the worker whenever it comes, also
// on a session that had logged in. A reload may change the cameras between
// any two library calls of a refresh: each step walks one snapshot of them,
// and a failure that still escapes a refresh is logged and the worker goes on.
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
    // Ends every iteration: also the pause between two login attempts with a
    // retry interval of 0, so that the worker never spins against an NVR that
    // refuses at once.
    static constexpr auto IterationPause = std::chrono::milliseconds(200);

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
    // One login attempt and, when it fails otherwise than by a refusal, the
    // retry line and the retry interval.
    void Attempt(bool& announced);
    // A refresh that a failure does not end the worker with.
    void RefreshLogged();
    void Refresh();
    // IterationPause, handing over what the NVR sends meanwhile.
    void EndIteration();
    void CloseSession();
    bool Stopping() const { return stop.stop_requested(); }
    // A stop request, or the NVR refused our login: the worker ends.
    bool Ending() const { return Stopping() || state == LoginRefused; }
    void Report(NvrPhase phase) const;
    // Hands the events the library holds to OnEvent; when it holds none,
    // waits until the NVR sends more, a stop request comes, or the deadline
    // (if any) passes, and then hands over what came. Returns what
    // TLAPI_Select returned: negative once the connection has failed.
    int SelectOrWait(std::optional<TimeSource::TimePoint> deadline);
    // Waits out the duration without a connection, or until a stop request.
    void Pause(TimeSource::Duration duration);
    // One wait: until the socket (-1: none) has something to read, the
    // wake-up rings, or the deadline (if any) passes.
    void Block(int socket, std::optional<TimeSource::TimePoint> deadline);

    // Login (NVRWorker.cpp).
    int Connect();
    int AwaitOpened();
    void AwaitLoggedIn();

    // Refresh steps; each returns early when the worker is ending.
    void UpdateCameraInventory(); // CameraInventory.cpp
    // The cameras' NVR ids by address: one snapshot for the whole of a step.
    using CameraIds = std::map<std::string, std::uint32_t>;
    void ScanSoftTriggers(const CameraIds& ids); // SoftTriggers.cpp
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
    // One of our soft triggers on this NVR: the camera whose NVR id its GUID
    // names, as the cameras stood when it was scanned.
    struct OurTrigger
    {
        std::string camera; // its address
        std::uint32_t cameraId = 0;
    };
    // By trigger id.
    std::map<std::uint32_t, OurTrigger> softTriggers;

    std::jthread worker;
};

} // namespace korvel
