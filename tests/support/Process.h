#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel {

// A child process with its standard output and error captured in files.
// The destructor kills a process that is still running.
class Process
{
public:
    struct Options
    {
        std::string workingDirectory;                   // empty: inherit
        std::map<std::string, std::string> environment; // added to ours
        std::vector<std::string> unsetEnvironment;
        bool stdinPipe = false; // keep a pipe to the child's standard input
    };

    Process(const std::string& program, const std::vector<std::string>& arguments,
            const Options& options);
    Process(const std::string& program, const std::vector<std::string>& arguments);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return pid; }
    void Signal(int signal);
    void WriteStdin(const std::string& text);
    void CloseStdin();

    // Waits for the end; returns false on timeout. ExitStatus is then valid.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool Running();
    int ExitStatus() const { return exitStatus; }
    bool Signalled() const { return signalled; }

    std::string Stdout() const;
    std::string Stderr() const;

private:
    void Reap(int status);

    pid_t pid = -1;
    int stdinFd = -1;
    bool ended = false;
    int exitStatus = -1;
    bool signalled = false;
    std::string outputDir;
};

// Runs a program to its end and returns the process (already ended).
struct RunResult
{
    int exitStatus;
    std::string out;
    std::string err;
};
RunResult RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                   const Process::Options& options = {},
                   std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The program's full path on PATH; empty when it is not installed.
std::string ProgramPath(const std::string& name);

// A copy of the service executable in its own folder, so that the
// configuration and the log beside it belong to one test.
class InstalledProgram
{
public:
    explicit InstalledProgram(const std::string& directory);
    const std::string& Path() const { return path; }
    std::string Directory() const { return directory; }
    std::string LogPath() const { return directory + "tlKorvel.log"; }
    std::string Log() const;
    void WriteConfig(const std::string& xml) const;

private:
    std::string directory;
    std::string path;
};

} // namespace korvel
