#include "ops/WholeLines.h"

namespace korvel {

void WholeLines::Opened(FileIdentity file, std::uint64_t size)
{
    open = file;
    // Another file, or one that somebody else has cut back already.
    if (torn && (torn->file != file || size <= torn->wholeUpTo))
        torn.reset();
}

std::optional<std::uint64_t> WholeLines::CutBefore() const
{
    if (torn)
        return torn->wholeUpTo;
    return std::nullopt;
}

void WholeLines::Cut(bool done)
{
    if (done)
        torn.reset();
}

std::optional<std::uint64_t> WholeLines::Written(std::uint64_t start, std::uint64_t end, bool whole)
{
    if (whole) {
        // After its line feed, if a torn line is still there: a line of its own.
        torn.reset();
        return std::nullopt;
    }
    if (end <= start)
        return std::nullopt; // nothing of it went in
    if (!torn)
        torn = Torn{open, start};
    return torn->wholeUpTo;
}

} // namespace korvel
