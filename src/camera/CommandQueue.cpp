#include "camera/CommandQueue.h"

#include <utility>

namespace korvel {

bool CommandQueue::Push(CommandSender sessionId, std::int32_t priority, const char* bytes,
                        std::size_t length)
{
    if (length > byteLimit - pendingBytes)
        return false;
    commands.push_back(
        CameraCommand{sessionId, priority, std::vector<char>(bytes, bytes + length)});
    pendingBytes += length;
    return true;
}

CameraCommand CommandQueue::TakeFront()
{
    CameraCommand command = std::move(commands.front());
    commands.pop_front();
    pendingBytes -= command.bytes.size();
    return command;
}

} // namespace korvel
