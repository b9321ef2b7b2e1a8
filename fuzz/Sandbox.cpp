// Stand-ins for two C library calls that the program makes on behalf of its
// configuration file, so that fuzzed files can name any host and any device.
// Defined in the executable, they take the place of the C library's for every
// call the program makes; the C library's own are reached through dlsym.
#include "Sandbox.h"

#include "Check.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex sandboxMutex;
bool active = false;      // guarded by sandboxMutex
std::string serialLine;   // guarded by sandboxMutex: the pseudo-terminal's path

template <typename Function> Function Real(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

bool IsDevice(const char* path)
{
    struct stat info{};
    return ::stat(path, &info) == 0 && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode));
}

} // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result)
{
    using Function = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const Function real = Real<Function>("getaddrinfo");
    addrinfo numeric{};
    if (hints)
        numeric = *hints;
    {
        std::lock_guard<std::mutex> lock(sandboxMutex);
        if (active)
            numeric.ai_flags |= AI_NUMERICHOST | AI_NUMERICSERV;
    }
    return real(node, service, &numeric, result);
}

extern "C" int open(const char* path, int flags, ...)
{
    using Function = int (*)(const char*, int, ...);
    static const Function real = Real<Function>("open");
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
    }
    std::string target = path;
    {
        std::lock_guard<std::mutex> lock(sandboxMutex);
        if (active) {
            if (target == Sandbox::SerialPortName) {
                target = serialLine;
            } else if (IsDevice(path)) {
                errno = ENOENT;
                return -1;
            }
        }
    }
    return real(target.c_str(), flags, mode);
}

Sandbox::Sandbox()
{
    char name[256] = {};
    FUZZ_CHECK(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    char pattern[] = "/tmp/tlkorvel-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern) != nullptr);
    folder = std::string(pattern) + "/";
    std::lock_guard<std::mutex> lock(sandboxMutex);
    serialLine = name;
    active = true;
}

Sandbox::~Sandbox()
{
    {
        std::lock_guard<std::mutex> lock(sandboxMutex);
        active = false;
    }
    ::close(master);
    ::close(slave);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}
