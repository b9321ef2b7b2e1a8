#include "ops/AuditQueue.h"

#include <utility>

namespace korvel {

bool AuditQueue::Push(std::string line)
{
    bool dropNow = false;
    while (!lines.empty() && bytes + line.size() > capacity) {
        bytes -= lines.front().size();
        lines.pop_front();
        ++dropped;
        dropNow = true;
    }
    bytes += line.size();
    lines.push_back(std::move(line));
    const bool starts = dropNow && !dropping;
    dropping = dropping || dropNow;
    return starts;
}

std::deque<std::string> AuditQueue::TakeAll()
{
    bytes = 0;
    return std::exchange(lines, {});
}

void AuditQueue::WriterCaughtUp()
{
    if (lines.empty())
        dropping = false;
}

} // namespace korvel
