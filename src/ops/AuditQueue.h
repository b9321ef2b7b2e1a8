#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace korvel {

// The audit lines waiting for the writer: bounded in bytes, so that a file
// that does not take them cannot make the service grow. When a line would
// pass the bound, the oldest lines go first; the newest records are the
// ones that say what is happening now.
//
// A dropping episode starts with the first line dropped and ends when the
// writer has caught up (written everything, with nothing new waiting), so
// that one stall is reported once however long it lasts.
//
// No lock of its own: AuditTrail guards it.
class AuditQueue
{
public:
    explicit AuditQueue(std::size_t capacityBytes) : capacity(capacityBytes) {}

    // Adds the line (which goes in even when it alone is over the bound).
    // True when this starts a dropping episode.
    bool Push(std::string line);
    // Everything waiting, oldest first; the queue is empty afterwards.
    std::deque<std::string> TakeAll();
    // The writer has written all it took: with nothing waiting, a dropping
    // episode ends.
    void WriterCaughtUp();

    bool Empty() const { return lines.empty(); }
    std::size_t Count() const { return lines.size(); }
    std::uint64_t Dropped() const { return dropped; }

private:
    std::size_t capacity;
    std::size_t bytes = 0;
    std::deque<std::string> lines;
    std::uint64_t dropped = 0;
    bool dropping = false;
};

} // namespace korvel
