#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvel {

namespace {

// The CPUs a new process inherits are those of the thread that starts it:
// the bench (one thread) takes the child's set for the moment of the start.
class CpuSetForChild
{
public:
    explicit CpuSetForChild(const std::vector<int>& cpus)
    {
        if (cpus.empty() || sched_getaffinity(0, sizeof own, &own) != 0)
            return;
        cpu_set_t child;
        CPU_ZERO(&child);
        for (int cpu : cpus)
            CPU_SET(cpu, &child);
        changed = sched_setaffinity(0, sizeof child, &child) == 0;
    }
    ~CpuSetForChild()
    {
        if (changed)
            sched_setaffinity(0, sizeof own, &own);
    }
    CpuSetForChild(const CpuSetForChild&) = delete;
    CpuSetForChild& operator=(const CpuSetForChild&) = delete;

private:
    cpu_set_t own{};
    bool changed = false;
};

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath,
                           const std::vector<int>& cpus, const std::string& inputPath)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
    // Nothing else of ours: a child holding a camera's listener or an
    // operator's socket would keep it open after we close it.
    posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    int error = 0;
    {
        const CpuSetForChild placement(cpus);
        error = posix_spawnp(&pid, argv[0], &files, &attributes, argv.data(), environ);
    }
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(error));
}

ChildProcess::~ChildProcess()
{
    Stop();
}

bool ChildProcess::Running()
{
    if (ended)
        return false;
    int waitStatus = 0;
    const pid_t result = waitpid(pid, &waitStatus, WNOHANG);
    if (result == 0)
        return true;
    ended = true;
    status = result == pid && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    return false;
}

int ChildProcess::Stop(std::chrono::milliseconds grace)
{
    if (!Running()) {
        // The leader is gone; forked children of a relay may not be.
        Signal(SIGKILL);
        return status;
    }
    Signal(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (Running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Running()) {
        Signal(SIGKILL);
        int waitStatus = 0;
        waitpid(pid, &waitStatus, 0);
        ended = true;
        status = -1;
    }
    Signal(SIGKILL); // stragglers of the group
    return status;
}

void ChildProcess::Signal(int signal) const
{
    if (pid > 0)
        kill(-pid, signal);
}

} // namespace korvel
