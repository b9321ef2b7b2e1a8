#include "camera/CommandQueue.h"

#include <utility>

namespace korvel {

bool CommandQueue::Push(CommandSender sessionId, std::int32_t priority, const char* bytes,
                        std::size_t length, TimeSource::TimePoint sent, bool stop)
{
    if (length > byteLimit - pendingBytes)
        return false;
    commands.push_back(
        CameraCommand{sessionId, priority, std::vector<char>(bytes, bytes + length), sent, stop});
    pendingBytes += length;
    stops += stop ? 1 : 0;
    return true;
}

CameraCommand CommandQueue::TakeFront()
{
    CameraCommand command = std::move(commands.front());
    commands.pop_front();
    pendingBytes -= command.bytes.size();
    stops -= command.stop ? 1 : 0;
    return command;
}

} // namespace korvel
