#pragma once

#include "camera/CameraTable.h"
#include "clock/TimeSource.h"
#include "config/Configuration.h"

#include <boost/asio/io_context.hpp>

namespace korvel {

// Writes the loader's lines to the log and builds the track cameras among
// them, each where its element stood, so that what building a camera logs
// ("Connecting to track camera at ...", a serial port's trouble) keeps its
// place. A camera the loader did not file (a repeated Address) is built too,
// for what building it logs or throws, and stopped at once. The links start
// on the loop as soon as it runs; network links wait out their retry
// interval on `time`.
//
// Throws what building a camera throws (std::out_of_range for DataBits
// outside 5 to 8), once the lines before that camera are written.
CameraTable BuildTrackCameras(boost::asio::io_context& io, TimeSource& time,
                              const LoadedConfiguration& loaded);

} // namespace korvel
