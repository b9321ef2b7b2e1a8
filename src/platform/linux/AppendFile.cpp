#include "platform/AppendFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel {

namespace {

std::error_code LastError()
{
    return std::error_code(errno, std::system_category());
}

} // namespace

AppendFile::~AppendFile()
{
    Close();
}

AppendFile::OpenResult AppendFile::Open(const std::string& path, std::error_code& error)
{
    Close();
    struct stat status = {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        return OpenResult::NotRegular;
    // Should the path become a FIFO or a device after the check, opening it
    // without blocking fails (ENXIO: a FIFO without a reader) or succeeds
    // and the check below refuses it.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        if (errno == ENXIO)
            return OpenResult::NotRegular;
        error = LastError();
        return OpenResult::Failed;
    }
    if (::fstat(fd, &status) != 0) {
        error = LastError();
        ::close(fd);
        return OpenResult::Failed;
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return OpenResult::NotRegular;
    }
    handle = fd;
    device = static_cast<std::uint64_t>(status.st_dev);
    index = static_cast<std::uint64_t>(status.st_ino);
    size = static_cast<std::uint64_t>(status.st_size);
    return OpenResult::Opened;
}

bool AppendFile::IsOpen() const
{
    return handle >= 0;
}

void AppendFile::Close()
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
    handle = -1;
}

std::error_code AppendFile::Write(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(static_cast<int>(handle), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? LastError() : std::make_error_code(std::errc::io_error);
        bytes.remove_prefix(static_cast<std::size_t>(written));
        size += static_cast<std::uint64_t>(written);
    }
    return {};
}

std::error_code AppendFile::CutTo(std::uint64_t newSize)
{
    if (::ftruncate(static_cast<int>(handle), static_cast<off_t>(newSize)) != 0)
        return LastError();
    size = newSize;
    return {};
}

bool AppendFile::NamesOpenFile(const std::string& path) const
{
    struct stat status = {};
    return handle >= 0 && ::stat(path.c_str(), &status) == 0 &&
           static_cast<std::uint64_t>(status.st_dev) == device &&
           static_cast<std::uint64_t>(status.st_ino) == index;
}

bool AppendFile::Deleted() const
{
    struct stat status = {};
    return handle >= 0 && ::fstat(static_cast<int>(handle), &status) == 0 && status.st_nlink == 0;
}

} // namespace korvel
