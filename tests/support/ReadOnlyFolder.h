#pragma once

// A folder in which nothing can be created, renamed or removed while the
// object lives, while the files in it stay writable: mode 0555, and for root
// (whom modes do not stop) the immutable attribute as well.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace korvel {

class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(std::string folder) : path(std::move(folder))
    {
        ::chmod(path.c_str(), 0555);
        if (::geteuid() == 0)
            immutable = SetImmutable(true);
    }
    ~ReadOnlyFolder()
    {
        if (immutable)
            SetImmutable(false);
        ::chmod(path.c_str(), 0755);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    // Whether a new file there is refused now (a file system without the
    // attribute leaves root free to write).
    bool Holds() const
    {
        const std::string probe = path + "/.probe";
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return true;
        ::close(fd);
        ::unlink(probe.c_str());
        return false;
    }

private:
    bool SetImmutable(bool on) const
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
    }

    std::string path;
    bool immutable = false;
};

} // namespace korvel
