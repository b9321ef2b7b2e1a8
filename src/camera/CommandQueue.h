#pragma once

#include "camera/CommandListener.h"
#include "clock/TimeSource.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace korvel {

// One operator command on its way to a camera, with its own copy of the bytes.
struct CameraCommand
{
    CommandSender sessionId = 0;
    std::int32_t priority = 0;
    std::vector<char> bytes;
    // While it waits: when it was sent, and whether it ends in a stop frame.
    TimeSource::TimePoint sent{};
    bool stop = false;
};

// Commands waiting for a camera, in the order they were sent, the one being
// written first. The bytes held are bounded so that a camera that never
// drains cannot take the process's memory.
class CommandQueue
{
public:
    explicit CommandQueue(std::size_t byteLimit) : byteLimit(byteLimit) {}

    // False, and nothing queued, when the command would pass the limit.
    bool Push(CommandSender sessionId, std::int32_t priority, const char* bytes, std::size_t length,
              TimeSource::TimePoint sent = {}, bool stop = false);
    bool Empty() const { return commands.empty(); }
    std::size_t Count() const { return commands.size(); }
    // How many of them end in a stop frame.
    std::size_t Stops() const { return stops; }
    const CameraCommand& Front() const { return commands.front(); }
    CameraCommand TakeFront();
    std::size_t PendingBytes() const { return pendingBytes; }

private:
    std::size_t byteLimit;
    std::size_t pendingBytes = 0;
    std::size_t stops = 0;
    std::deque<CameraCommand> commands;
};

} // namespace korvel
