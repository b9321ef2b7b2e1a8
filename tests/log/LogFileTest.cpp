// The log file through a Log object of the test's own folder: stamps,
// rotation thresholds, fallbacks and whole lines under concurrency.
#include "log/LogFile.h"
#include "log/LogText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::log_file_test {

namespace {

class UtcZone
{
public:
    UtcZone()
    {
        if (const char* tz = std::getenv("TZ"))
            saved = tz, hadZone = true;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    ~UtcZone()
    {
        if (hadZone)
            ::setenv("TZ", saved.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved;
    bool hadZone = false;
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A disk that fills up and gets room again, for a child process to write a
// log on: the file systems are its own, and the limits.
struct Disk
{
    const char* name;
    bool needsRoot;
    // In the child: the folder to log in, under `dir`; empty on failure.
    std::function<std::string(const std::string& dir)> prepare;
    std::function<bool(const std::string& folder)> fill;
    std::function<bool(const std::string& folder)> free;
};

// Writes until the file system refuses.
bool FillUp(const std::string& folder)
{
    const int fd = ::open((folder + "filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string chunk(4096, 'f');
    while (fd >= 0 && ::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
}

const Disk Disks[] = {
    {"a tmpfs of 64 KiB in a mount namespace of the child's own", true,
     [](const std::string& dir) -> std::string {
         const std::string folder = dir + "disk/";
         if (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mkdir(folder.c_str(), 0700) != 0 ||
             ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
             return {};
         return folder;
     },
     FillUp, [](const std::string& folder) { return ::unlink((folder + "filler").c_str()) == 0; }},
    {"the file size limit, a few bytes past the log's end", false,
     [](const std::string& dir) -> std::string {
         // Writes past the limit fail (EFBIG) instead of ending the process.
         std::signal(SIGXFSZ, SIG_IGN);
         return dir;
     },
     [](const std::string& folder) {
         struct stat status = {};
         rlimit limit{};
         ::stat((folder + "tlKorvel.log").c_str(), &status);
         ::getrlimit(RLIMIT_FSIZE, &limit);
         limit.rlim_cur = static_cast<rlim_t>(status.st_size) + 40;
         return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
     },
     [](const std::string&) {
         rlimit limit{};
         ::getrlimit(RLIMIT_FSIZE, &limit);
         limit.rlim_cur = limit.rlim_max;
         return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
     }},
};

// In a child process: a log on the disk; a line, the disk full, three lines,
// room again, two lines. Standard error goes to the pipe (no file, which a
// size limit would cut), the log is copied to dir/log. The exit status says
// which step failed.
int LogOnAFillingDisk(const Disk& disk, const std::string& dir, int errors)
{
    if (::dup2(errors, 2) != 2)
        return 10;
    const std::string folder = disk.prepare(dir);
    if (folder.empty())
        return 11;
    {
        Log log(folder);
        log.BeginLine() << "before the disk filled" << std::endl;
        if (!disk.fill(folder))
            return 12;
        log.BeginLine() << std::string(5000, 'x') << " cut short" << std::endl;
        log.BeginLine() << "while full 1" << std::endl;
        log.BeginLine() << "while full 2" << std::endl;
        if (!disk.free(folder))
            return 13;
        log.BeginLine() << "room again" << std::endl;
        log.BeginLine() << "and on" << std::endl;
    }
    std::ofstream(dir + "log") << ReadFile(folder + "tlKorvel.log");
    return 0;
}

} // namespace

TEST(LogTime, FormatsEnglishMonthsAndZeroPaddedFields)
{
    UtcZone utc;
    const struct
    {
        std::time_t when;
        const char* expected;
    } cases[] = {
        {1796605982, "2026-Dec-07 01:13:02"},
        {1767571200, "2026-Jan-05 00:00:00"},
        {1798761599, "2026-Dec-31 23:59:59"},
        {1798761600, "2027-Jan-01 00:00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatLogTime(c.when), std::optional<std::string>(c.expected));
    }
}

TEST(LogFile, LinesCarryThePrefixAndAreFlushedAtOnce)
{
    TempDir dir;
    Log log(dir.Path());
    EXPECT_FALSE(FileExists(log.CurrentPath())) << "nothing is opened before the first line";
    log.BeginLine() << "first " << 42 << ' ' << -7 << std::endl;
    const std::string contents = ReadFile(dir.File("tlKorvel.log"));
    EXPECT_TRUE(std::regex_match(
        contents, std::regex(R"(\[ \d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2} \] first 42 -7\n)")))
        << contents;
}

TEST(LogFile, RotatesOnlyWhenLargerThanOneMebibyte)
{
    const struct
    {
        std::size_t size;
        bool rotates;
    } cases[] = {{1048576, false}, {1048577, true}};
    for (const auto& c : cases) {
        TempDir dir;
        WriteFile(dir.File("tlKorvel.log"), std::string(c.size, 'x'));
        WriteFile(dir.File("tlKorvel.log.old"), "previous generation\n");
        {
            Log log(dir.Path());
            log.BeginLine() << "next line" << std::endl;
        }
        const std::string current = ReadFile(dir.File("tlKorvel.log"));
        const std::string old = ReadFile(dir.File("tlKorvel.log.old"));
        if (c.rotates) {
            EXPECT_EQ(old.size(), c.size);
            EXPECT_EQ(current.rfind("[ ", 0), 0u);
            EXPECT_NE(current.find("next line\n"), std::string::npos);
            EXPECT_LT(current.size(), 100u);
        } else {
            EXPECT_EQ(old, "previous generation\n");
            EXPECT_GT(current.size(), c.size);
            EXPECT_EQ(current.substr(0, c.size), std::string(c.size, 'x'));
        }
    }
}

TEST(LogFile, RotationWithoutAnOldGenerationStillSucceeds)
{
    TempDir dir;
    WriteFile(dir.File("tlKorvel.log"), std::string(1048577, 'x'));
    Log log(dir.Path());
    log.BeginLine() << "after rotation" << std::endl;
    EXPECT_EQ(ReadFile(dir.File("tlKorvel.log.old")).size(), 1048577u);
    EXPECT_NE(ReadFile(dir.File("tlKorvel.log")).find("after rotation"), std::string::npos);
}

TEST(LogFile, FailedRotationKeepsAppendingToTheUnrotatedFile)
{
    TempDir dir;
    WriteFile(dir.File("tlKorvel.log"), std::string(1048577, 'x'));
    // A non-empty directory where the old generation goes cannot be removed.
    WriteFile(dir.File("keep"), "");
    ::mkdir(dir.File("tlKorvel.log.old").c_str(), 0755);
    WriteFile(dir.File("tlKorvel.log.old/inside"), "");
    Log log(dir.Path());
    log.BeginLine() << "still logged" << std::endl;
    log.BeginLine() << "and again" << std::endl;
    const std::string current = ReadFile(dir.File("tlKorvel.log"));
    EXPECT_NE(current.find("still logged\n"), std::string::npos);
    EXPECT_NE(current.find("and again\n"), std::string::npos);
}

// A write to the log fails (the disk is full); the lines from then on go to
// standard error, and once the disk has room the log takes lines again: the
// line the failure cut is ended, and the first line says how many went to
// standard error meanwhile.
TEST(LogFile, ComesBackWithTheDisk)
{
    for (const Disk& disk : Disks) {
        SCOPED_TRACE(disk.name);
        if (disk.needsRoot && ::geteuid() != 0) {
            std::cout << "skipped without root: " << disk.name << "\n";
            continue;
        }
        TempDir dir;
        int errors[2];
        ASSERT_EQ(::pipe(errors), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            ::_exit(LogOnAFillingDisk(disk, dir.Path(), errors[1]));
        ::close(errors[1]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        std::string standardError;
        char buffer[4096];
        for (ssize_t got; (got = ::read(errors[0], buffer, sizeof buffer)) > 0;)
            standardError.append(buffer, static_cast<std::size_t>(got));
        ::close(errors[0]);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

        const std::string cut = std::string(5000, 'x') + " cut short";
        EXPECT_TRUE(standardError == cut + "\nwhile full 1\nwhile full 2\n")
            << "the three lines of the full disk, without a time stamp:\n"
            << standardError.substr(standardError.find(" cut short"));
        const auto lines = Lines(ReadFile(dir.File("log")));
        ASSERT_EQ(lines.size(), 5u) << ReadFile(dir.File("log"));
        const std::regex stamped(R"(\[ [^\]]+ \] (.*))");
        std::vector<std::string> texts;
        for (const std::string& line : lines) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, stamped)) << line;
            texts.push_back(match[1]);
        }
        EXPECT_EQ(texts[0], "before the disk filled");
        EXPECT_EQ(cut.rfind(texts[1], 0), 0u) << "what the full disk took of the line";
        EXPECT_LT(texts[1].size(), cut.size());
        EXPECT_EQ(texts[2], "Writing tlKorvel.log again; 3 lines went to standard error meanwhile");
        EXPECT_EQ(texts[3], "room again");
        EXPECT_EQ(texts[4], "and on");
    }
}

TEST(LogFile, ConcurrentLinesStayWhole)
{
    TempDir dir;
    Log log(dir.Path());
    const int threads = 8, linesPerThread = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < linesPerThread; ++i)
                log.BeginLine() << "thread " << t << " line " << i << " end" << std::endl;
        });
    }
    for (auto& writer : writers)
        writer.join();
    const auto lines = Lines(ReadFile(dir.File("tlKorvel.log")));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * linesPerThread));
    const std::regex whole(R"(\[ [^\]]+ \] thread \d+ line \d+ end)");
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(LogText, ControlCharactersAndInvalidUtf8AreEscaped)
{
    const struct
    {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain name", "plain name"},
        {"evil\r\n[ 2026-Dec-07 ] forged", "evil\\x0D\\x0A[ 2026-Dec-07 ] forged"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"tab\tdel\x7f", "tab\\x09del\\x7F"},
        {"\x1b[1A\x1b[2K", "\\x1B[1A\\x1B[2K"},
        {"\xe9t\xe9", "\\xE9t\\xE9"}, // Latin-1 is not UTF-8
        {"\xc2\x9b"
         "2K",
         "\\xC2\\x9B2K"},                                      // C1 control (CSI)
        {"\xc0\xaf\xed\xa0\x80", "\\xC0\\xAF\\xED\\xA0\\x80"}, // overlong, surrogate
        {"\xe2\x82", "\\xE2\\x82"},                            // cut short
        {"Zo\xc3\xab \xf0\x9f\x93\xb7 \xc2\xa0\\x41", "Zo\xc3\xab \xf0\x9f\x93\xb7 \xc2\xa0\\x41"},
    };
    TempDir dir;
    Log log(dir.Path());
    std::string expectedLog;
    for (const auto& c : cases) {
        EXPECT_EQ(LogSafe(c.in), c.out);
        EXPECT_EQ(LogSafe(LogSafe(c.in)), c.out) << "escaping twice changes nothing";
        // The log applies the rule to whatever a line holds (an address from
        // the configuration, a system's text), escaped before or not.
        log.BeginLine() << "at " << c.in << " / " << LogSafe(c.in) << std::endl;
        expectedLog += "at " + c.out + " / " + c.out + "\n";
    }
    std::string written;
    for (const std::string& line : Lines(ReadFile(dir.File("tlKorvel.log"))))
        written += line.substr(line.find(" ] ") + 3) + "\n";
    EXPECT_EQ(written, expectedLog);
}

} // namespace korvel::log_file_test
