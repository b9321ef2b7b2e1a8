#pragma once

#include <map>
#include <memory>
#include <string>

namespace korvel {

class NVRConnection;

// One connection per configured NVR, keyed by its Address, ordered byte-wise.
using NvrTable = std::map<std::string, std::unique_ptr<NVRConnection>>;

} // namespace korvel
