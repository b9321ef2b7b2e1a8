#pragma once

#include <memory>
#include <string>

namespace korvel {

// A text for operators. One immutable copy is shared by every session it is
// queued to and lives until the last of those writes has completed.
using Notification = std::shared_ptr<const std::string>;

} // namespace korvel
