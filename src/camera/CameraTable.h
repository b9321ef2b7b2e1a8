#pragma once

#include <map>
#include <memory>
#include <string>

namespace korvel {

class TrackCamera;

// Every configured track camera, keyed by its configured Address and ordered
// byte-wise. Filled once by the configuration loader; shared read-only by the
// client service and every NVR connection.
using CameraTable = std::map<std::string, std::unique_ptr<TrackCamera>>;

} // namespace korvel
