#pragma once

#include "camera/CameraTable.h"
#include "clock/TimeSource.h"
#include "config/Configuration.h"

#include <boost/asio/io_context.hpp>

#include <string>

namespace korvel {

// The track cameras of a run, or why they could not all be started.
struct TrackCameras
{
    CameraTable cameras;
    // Set when a camera could not be started and the run cannot go on (a
    // serial line whose DataBits no line takes): the cameras are then none.
    std::string failure;
};

// Writes the loader's lines to the log and builds the track cameras among
// them, each where its element stood, so that what building a camera logs
// ("Connecting to track camera at ...", a serial line's notices and trouble)
// keeps its place. A camera the loader did not file (a repeated Address) is
// built too, for what building it logs or fails with, and stopped at once.
// The links start on the loop as soon as it runs; network links wait out
// their retry interval on `time`.
//
// A camera that could not be started ends the building: the lines after it
// are not written, and the cameras built before it are dropped.
TrackCameras BuildTrackCameras(boost::asio::io_context& io, TimeSource& time,
                               const LoadedConfiguration& loaded);

} // namespace korvel
