#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Who sent a command, as the operator side tags it (its session number, and
// more): the camera keeps the tag with the command and hands it back with
// the completed write, reading nothing in it.
using CommandSender = std::uint64_t;

// What a track camera tells the operator side: a command's write has
// completed, whole. The camera is named by the index the listener gave it
// (TrackCamera::SetCommandListener); the camera knows nothing else of
// operators. Called from a completion on the I/O loop, never from inside
// SendCommand.
class CommandListener
{
public:
    virtual void CommandWritten(std::size_t camera, CommandSender sessionId,
                                std::int32_t priority) = 0;

protected:
    ~CommandListener() = default;
};

} // namespace korvel
