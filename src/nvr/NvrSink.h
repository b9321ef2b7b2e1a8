#pragma once

#include <functional>
#include <string>

namespace korvel {

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
};

} // namespace korvel
