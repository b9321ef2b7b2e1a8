#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvel {

// Where a connection stands, for the operations view.
enum class NvrPhase
{
    Connecting,   // a login attempt begins
    LoggedIn,     // it succeeded
    Retrying,     // the NVR could not be reached or did not answer; tried again later
    LoginRefused, // the NVR refused the login: no more attempts
    Stopped,      // the worker has ended
};

// What an NVR connection tells the rest of the service, keyed by the track
// camera's configured Address. Called on the connection's worker thread: the
// receiver hands the news to its own thread (the run sequence posts it to the
// I/O loop). An empty function drops the news.
struct NvrSink
{
    // The NVR gave the camera a name other than the one known so far.
    std::function<void(const std::string& cameraAddress, const std::string& name)>
        cameraNameLearned;
    // A soft trigger of ours for the camera fired on the NVR.
    std::function<void(const std::string& cameraAddress)> softTriggerFired;

    // For the operations view only.
    std::function<void(NvrPhase phase)> phaseReached;
    // After each refresh: how many cameras the NVR listed, and how many soft
    // triggers of ours it has.
    std::function<void(std::uint32_t cameras, std::uint32_t softTriggers)> inventoryCounted;
    // The NVR listed a configured camera under this id (on every refresh).
    std::function<void(const std::string& cameraAddress, std::uint32_t id)> cameraIdLearned;

    // The worker has ended: its last call, after which destroying the
    // connection (which closes its session with the NVR) waits for nothing.
    std::function<void()> workerEnded;
};

} // namespace korvel
