#include "support/Process.h"

#include "support/TempDir.h"

#include <filesystem>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace korvel {

namespace {

std::string MakeOutputDir()
{
    char pattern[] = "/tmp/korvel-proc-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return std::string(pattern) + "/";
}

} // namespace

Process::Process(const std::string& program, const std::vector<std::string>& arguments)
    : Process(program, arguments, Options())
{}

Process::Process(const std::string& program, const std::vector<std::string>& arguments,
                 const Options& options)
    : outputDir(MakeOutputDir())
{
    int stdinPipe[2] = {-1, -1};
    if (options.stdinPipe && ::pipe2(stdinPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    // Everything the child needs is prepared before fork: it may only call
    // async-signal-safe functions afterwards.
    std::vector<std::string> argvStrings;
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argvStrings)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        bool dropped = options.environment.count(name) != 0;
        for (const auto& unset : options.unsetEnvironment)
            dropped = dropped || unset == name;
        if (!dropped)
            envStrings.push_back(text);
    }
    for (const auto& entry : options.environment)
        envStrings.push_back(entry.first + "=" + entry.second);
    std::vector<char*> envp;
    for (auto& entry : envStrings)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    const std::string outPath = outputDir + "stdout";
    const std::string errPath = outputDir + "stderr";
    const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(options.stdinPipe ? stdinPipe[0] : nullFd, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0)
            ::_exit(126);
        // Start with default signal dispositions and an empty mask.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outFd);
    ::close(errFd);
    ::close(nullFd);
    if (options.stdinPipe) {
        ::close(stdinPipe[0]);
        stdinFd = stdinPipe[1];
    }
}

Process::~Process()
{
    if (!ended && pid > 0) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    CloseStdin();
    std::error_code error;
    std::filesystem::remove_all(outputDir, error);
}

void Process::Signal(int signal)
{
    if (!ended)
        ::kill(pid, signal);
}

void Process::WriteStdin(const std::string& text)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0 && stdinFd >= 0) {
        const ssize_t written = ::write(stdinFd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void Process::CloseStdin()
{
    if (stdinFd >= 0) {
        ::close(stdinFd);
        stdinFd = -1;
    }
}

void Process::Reap(int status)
{
    ended = true;
    if (WIFEXITED(status)) {
        exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        signalled = true;
        exitStatus = 128 + WTERMSIG(status);
    }
}

bool Process::Running()
{
    if (ended)
        return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        Reap(status);
        return false;
    }
    return true;
}

bool Process::Wait(std::chrono::milliseconds timeout)
{
    return WaitUntil([this] { return !Running(); }, timeout);
}

std::string Process::Stdout() const
{
    return ReadFile(outputDir + "stdout");
}

std::string Process::Stderr() const
{
    return ReadFile(outputDir + "stderr");
}

RunResult RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                   const Process::Options& options, std::chrono::milliseconds timeout)
{
    Process process(program, arguments, options);
    if (!process.Wait(timeout))
        throw std::runtime_error("process did not end in time: " + program);
    return RunResult{process.ExitStatus(), process.Stdout(), process.Stderr()};
}

std::string ProgramPath(const std::string& name)
{
    const RunResult found = RunToEnd("/bin/sh", {"-c", "command -v " + name});
    std::string path = found.out.substr(0, found.out.find('\n'));
    return found.exitStatus == 0 && path.rfind('/', 0) == 0 ? path : std::string();
}

InstalledProgram::InstalledProgram(const std::string& directory)
    : directory(directory), path(directory + "tlKorvel")
{
    namespace fs = std::filesystem;
    fs::copy_file(TLKORVEL_BINARY, path, fs::copy_options::overwrite_existing);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

std::string InstalledProgram::Log() const
{
    return ReadFile(LogPath());
}

void InstalledProgram::WriteConfig(const std::string& xml) const
{
    WriteFile(directory + "tlKorvel.xml", xml);
}

} // namespace korvel
