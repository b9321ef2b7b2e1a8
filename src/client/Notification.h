#pragma once

#include <memory>
#include <string>

namespace korvel {

// A text for operators. One immutable copy is shared by every session it is
// queued to and lives until the last of those writes has completed.
using Notification = std::shared_ptr<const std::string>;

// Where one operator connection's notices go (its ClientSession): the
// control service writes to it as it writes commands to cameras. On the
// I/O loop thread.
class NoticeSink
{
public:
    // Sends the text after those sent before it.
    virtual void Send(Notification text) = 0;

protected:
    ~NoticeSink() = default;
};

} // namespace korvel
