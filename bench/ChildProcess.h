#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel {

// A program the bench starts, in a process group of its own (so that a
// relay's forked children end with it), with its output in a file.
class ChildProcess
{
public:
    // With cpus, the program and everything it starts run on those CPUs only.
    // Standard input is inputPath (a file read from the start), or nothing.
    ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath,
                 const std::vector<int>& cpus = {}, const std::string& inputPath = "/dev/null");
    // Stops the group if it is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid; }
    bool Running();
    // SIGTERM to the group, SIGKILL after the grace period; the exit status,
    // or -1 when it had to be killed or was ended by a signal.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

private:
    void Signal(int signal) const;

    pid_t pid = -1;
    bool ended = false;
    int status = -1;
};

} // namespace korvel
