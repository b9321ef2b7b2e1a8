#include "platform/AppendFile.h"

#include <windows.h>

#include <algorithm>

namespace korvel {

namespace {

std::error_code LastError()
{
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

HANDLE Handle(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

struct FileInformation
{
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
};

bool IdentityOf(HANDLE file, FileInformation& identity)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information))
        return false;
    identity.volume = information.dwVolumeSerialNumber;
    identity.index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity.size =
        (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    return true;
}

// Everyone may read, write, rename and delete the file while it is open, as
// on Linux: a rotating tool renames it, and the next check finds it gone.
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

AppendFile::~AppendFile()
{
    Close();
}

AppendFile::OpenResult AppendFile::Open(const std::string& path, std::error_code& error)
{
    Close();
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return OpenResult::NotRegular;
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, ShareAll, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = LastError();
        return OpenResult::Failed;
    }
    // A pipe, a console or a serial port is no disk file.
    FileInformation identity;
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return OpenResult::NotRegular;
    }
    if (!IdentityOf(file, identity)) {
        error = LastError();
        ::CloseHandle(file);
        return OpenResult::Failed;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
    device = identity.volume;
    index = identity.index;
    size = identity.size;
    return OpenResult::Opened;
}

bool AppendFile::IsOpen() const
{
    return handle != -1;
}

void AppendFile::Close()
{
    if (handle != -1)
        ::CloseHandle(Handle(handle));
    handle = -1;
}

std::error_code AppendFile::Write(std::string_view bytes)
{
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!::WriteFile(Handle(handle), bytes.data(), chunk, &written, nullptr))
            return LastError();
        if (written == 0)
            return std::make_error_code(std::errc::io_error);
        bytes.remove_prefix(written);
        size += written;
    }
    return {};
}

std::error_code AppendFile::CutTo(std::uint64_t newSize)
{
    // The handle may only append: a second one, to the same file, may write.
    const HANDLE writable = ::ReOpenFile(Handle(handle), GENERIC_WRITE, ShareAll, 0);
    if (writable == INVALID_HANDLE_VALUE)
        return LastError();
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(newSize);
    std::error_code error;
    if (!::SetFileInformationByHandle(writable, FileEndOfFileInfo, &end, sizeof end))
        error = LastError();
    ::CloseHandle(writable);
    if (!error)
        size = newSize;
    return error;
}

bool AppendFile::NamesOpenFile(const std::string& path) const
{
    if (handle == -1)
        return false;
    // No access asked: only the file's identity is read.
    const HANDLE other = ::CreateFileA(path.c_str(), 0, ShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    FileInformation identity;
    const bool same =
        IdentityOf(other, identity) && identity.volume == device && identity.index == index;
    ::CloseHandle(other);
    return same;
}

bool AppendFile::Deleted() const
{
    // A file deleted while others hold it open waits for them to close it.
    FILE_STANDARD_INFO information{};
    return handle != -1 &&
           ::GetFileInformationByHandleEx(Handle(handle), FileStandardInfo, &information,
                                          sizeof information) &&
           (information.DeletePending || information.NumberOfLinks == 0);
}

} // namespace korvel
