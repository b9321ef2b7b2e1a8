#pragma once

#include "camera/CameraTable.h"

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class ClientServer;
class TrackCamera;

namespace tinyxml2 {
class XMLElement;
}

// One logged-in session with one NVR, kept by a worker thread of its own.
//
// The worker logs in, retries at the configured interval while the NVR cannot
// be reached, and on every due refresh brings the NVR's camera ids and names,
// the soft triggers, the cameras' associations and the event links into line
// with the configured track cameras. Session events reach OnEvent; a fired
// soft trigger of ours hands its camera to the operator who is choosing one.
//
// Threads:
//   run thread     construction, LoadFromElement, Start, SetClientServer,
//                  Close, destruction (only once the worker has ended);
//   worker         Run and everything it calls: every library call;
//   event callback OnEvent (the library calls it from inside TLAPI_Select,
//                  so on the worker, but it only touches what is guarded
//                  or atomic below).
// Locks: requestMutex before progressMutex, never the other way round;
// triggerMutex and linkMutex are taken alone.
class NVRConnection
{
public:
    NVRConnection(int retryIntervalSecs, CameraTable& trackCameras);
    // Ends the library session, if any. The worker must have ended.
    ~NVRConnection();
    NVRConnection(const NVRConnection&) = delete;
    NVRConnection& operator=(const NVRConnection&) = delete;

    // Reads an NVR element; false when the element is rejected.
    bool LoadFromElement(const tinyxml2::XMLElement& element);
    std::string GetAddress() const { return address; }
    int GetPort() const { return port; }
    const std::string& GetLogin() const { return login; }
    const std::string& GetPassword() const { return password; }

    // Starts the worker; the caller takes ownership of the thread.
    boost::thread* Start();
    // Asks the worker to stop and logs that the connection closes; does not
    // wait. Every sleep and wait of the worker ends early on this request.
    void Close();
    // The worker waits for this link before its first refresh.
    void SetClientServer(ClientServer* server);

    // Session event handler: event type, code, the event record and its
    // length in bytes (record may be null).
    void OnEvent(int eventType, int code, const void* record, int recordLength);

private:
    enum State : int
    {
        Disconnected = 0,
        LoginRefused = 1,
        Opened = 2,
        LoggedIn = 3
    };

    // The callback registered with the library; context is the connection.
    static int EventCallback(int eventType, int code, const void* record, int recordLength,
                             void* context);

    // Worker (NVRWorker.cpp).
    void Run();
    void RunUntilRefused();
    bool RefreshIsDue();
    void Refresh(ClientServer& server);
    ClientServer& WaitForClientServer();
    void CloseSession();

    // Login (NVRLogin.cpp).
    int Connect();
    int AwaitOpened();
    void AwaitLoggedIn();

    // Refresh steps.
    void UpdateCameraInventory(ClientServer& server); // CameraInventory.cpp
    void ScanSoftTriggers();                          // SoftTriggers.cpp
    void CreateSoftTriggers();                        // SoftTriggers.cpp
    void AwaitTriggerAcknowledged();                  // SoftTriggers.cpp
    void UpdateAssociations();                        // Associations.cpp
    void RemoveForeignEventLinks();                   // EventLinks.cpp

    using SoftTriggerMap = std::map<std::uint32_t, TrackCamera*>;
    SoftTriggerMap SoftTriggersSnapshot() const;

    std::string address = "127.0.0.1";
    int port = 22609;
    std::string login;
    std::string password;
    std::uint32_t handle = 0; // worker only (and destruction)
    std::atomic<int> state{Disconnected};
    int retryIntervalSecs;
    boost::thread* worker = nullptr; // owned by the run sequence's thread group

    std::mutex progressMutex;
    std::mutex requestMutex;
    bool refreshRequested = true; // guarded by requestMutex
    bool refreshRunning = false;  // guarded by progressMutex
    std::atomic<bool> triggerAcknowledged{true};

    mutable std::mutex triggerMutex;
    SoftTriggerMap softTriggers; // guarded by triggerMutex; rebuilt by the worker

    boost::mutex linkMutex;
    boost::condition_variable linkSet;
    ClientServer* clientServer = nullptr; // guarded by linkMutex

    CameraTable& trackCameras;
};
