#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace korvel {

// A regular file opened for appending, used by one thread at a time.
//
// Opening never waits on the path: a FIFO, a device or a folder is refused
// before it could block or take the writes (Open says NotRegular), and a
// file it creates is made at the given name. Others may rename or delete the
// file while it is open (on Windows too); NamesOpenFile and Deleted tell
// whether the path still leads to it.
class AppendFile
{
public:
    enum class OpenResult
    {
        Opened,
        NotRegular,
        Failed // `error` says why
    };

    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens the file at its end, creating it when missing; closes any other
    // first. A path that is not a regular file is not an error of the
    // system's but refused by rule, hence an outcome of its own.
    OpenResult Open(const std::string& path, std::error_code& error);
    bool IsOpen() const;
    void Close();

    // Writes all the bytes at the end; the error when they could not all be
    // written (Size says how many were).
    std::error_code Write(std::string_view bytes);
    // Cuts the file back to its first `newSize` bytes; later writes go on
    // from there.
    std::error_code CutTo(std::uint64_t newSize);

    // The file's size: at opening, plus what was written since (or where it
    // was cut).
    std::uint64_t Size() const { return size; }

    // Which file is open: the same two numbers for the same file, whatever
    // its name (device and inode, or volume and file index).
    struct Identity
    {
        std::uint64_t device = 0;
        std::uint64_t index = 0;
        bool operator==(const Identity&) const = default;
    };
    Identity Id() const { return {device, index}; }

    // True when the path leads to the open file; false when nothing is
    // there, or another file (the open one was renamed or deleted).
    bool NamesOpenFile(const std::string& path) const;
    // True when the open file has been deleted: what is written to it now
    // is lost once it is closed. Cheaper than NamesOpenFile (no path).
    bool Deleted() const;

private:
    // The platform's handle (a descriptor, or a HANDLE) and the file's
    // identity (device and inode, or volume and file index).
    std::intptr_t handle = -1;
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
};

} // namespace korvel
