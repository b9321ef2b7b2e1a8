#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// Our soft triggers carry the GUID "KORVEL_<NVR camera id>"; a new
// association takes the same text as its name.
std::string SoftTriggerGuid(std::uint32_t nvrCameraId);

// The NVR camera id a soft trigger GUID names, or 0 when the GUID is not one
// of ours: it must start with "KORVEL", and the number is read after its
// first '_' (leading blanks skipped, up to the first non-digit).
std::uint32_t CameraIdInGuid(const std::string& guid);

} // namespace korvel
