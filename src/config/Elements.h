#pragma once

#include "config/Settings.h"

#include <optional>
#include <string>
#include <vector>

namespace tinyxml2 {
class XMLElement;
}

namespace korvel {

// Readers of single elements of tlKorvel.xml. What they have to say about an
// element is appended to `lines`, in the log's words.

// A Camera element. A missing or empty Address leaves `address` empty. A
// serial camera's line settings come checked (SerialSettings): what they say
// of values they replaced is not among the lines but waits for the line's
// set-up.
CameraSettings ReadCameraElement(const tinyxml2::XMLElement& element,
                                 std::vector<std::string>& lines);

// An NVR element; none when it is rejected. Lines quote the attributes as
// written in the file (empty when missing), not the defaults that replace them.
std::optional<NvrSettings> ReadNvrElement(const tinyxml2::XMLElement& element,
                                          std::vector<std::string>& lines);

} // namespace korvel
