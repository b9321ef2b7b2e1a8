#pragma once

#include <cstdint>
#include <optional>

namespace korvel {

// Keeps a file of lines to whole lines when a write stops part-way (a full
// disk, a quota): where to cut the file back to, and when a line must start
// with a line feed of its own. Decisions only: AuditFile carries them out.
//
//   - A line that went in only in part is cut off again at once: the file
//     ends with the last whole line, as if the line had not been written.
//   - A cut that fails is tried again before the next line goes to that
//     file, also once it has been closed and opened again.
//   - Should the cut still fail, the next line starts with a line feed: the
//     torn one becomes a line of its own (unreadable), the new one is whole.
//   - A torn line in a file that is no longer the one at the path (renamed,
//     deleted, rotated) is left where it is.
//
// Files are told apart by their identity (device and inode, or volume and
// file index), so that nothing is cut in a file that merely has the name.
class WholeLines
{
public:
    struct FileIdentity
    {
        std::uint64_t device = 0;
        std::uint64_t index = 0;
        bool operator==(const FileIdentity&) const = default;
    };

    // The file at the path was opened, `size` bytes long.
    void Opened(FileIdentity file, std::uint64_t size);
    // Before a line goes in: the size to cut the open file back to first,
    // if any (then Cut).
    std::optional<std::uint64_t> CutBefore() const;
    // The cut asked for was made, or not.
    void Cut(bool done);
    // The line goes in after a line feed of its own.
    bool LineFeedFirst() const { return torn.has_value(); }
    // The line (after its line feed) went in from `start` up to `end`:
    // whole, or not. The size to cut the file back to, if any (then Cut).
    std::optional<std::uint64_t> Written(std::uint64_t start, std::uint64_t end, bool whole);

private:
    struct Torn
    {
        FileIdentity file;
        std::uint64_t wholeUpTo = 0; // the file's lines are whole up to here
    };
    FileIdentity open;
    std::optional<Torn> torn;
};

} // namespace korvel
