#pragma once

#include <map>
#include <memory>
#include <string>

namespace korvel {

class TrackCamera;

// The track cameras of a run, keyed by their configured Address and ordered
// byte-wise: the first camera of each Address. The run sequence builds it
// from the configuration at start, changes it on a reload (on the I/O loop)
// and owns it; the client service takes its cameras from it at start and is
// told of each one a reload adds or removes. The NVR connections never see it: they work from the camera
// addresses (NvrCameraDirectory).
using CameraTable = std::map<std::string, std::unique_ptr<TrackCamera>>;

} // namespace korvel
