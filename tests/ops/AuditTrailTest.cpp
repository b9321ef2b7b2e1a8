// The audit file on a real folder with simulated time: rotation into .1 to
// .5, failures logged once, and the faults a file can meet (deleted,
// renamed, a FIFO or a device in its place, a read-only folder at
// rotation); then the writer thread in front of a file that blocks.
#include "ops/AuditTrail.h"
#include "ops/AuditFile.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::audit_trail_test {

namespace {

using namespace std::chrono_literals;

// A line of 40 bytes that names its number.
std::string Line(int number)
{
    std::string line = "{\"n\":" + std::to_string(number) + "}";
    return line + std::string(39 - line.size(), ' ') + "\n";
}

std::string Lines(int first, int last)
{
    std::string lines;
    for (int number = first; number <= last; ++number)
        lines += Line(number);
    return lines;
}

// Mode 0555, and for root, whom modes do not stop, the immutable attribute;
// or back. True when a new file there is refused.
bool SetReadOnly(const std::string& folder, bool on)
{
    ::chmod(folder.c_str(), on ? 0555 : 0755);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
    const std::string probe = folder + "/probe";
    const int created = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ::unlink(probe.c_str());
    return created < 0 || ::close(created) != 0;
}

// What a descriptor held open still reads of a deleted file.
std::string ReadHeld(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// A file that takes lines only while its gate is open, as one on a stalled
// network file system. Shared with the writer thread, which may outlive the
// trail that abandoned it.
struct GatedFile
{
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    int entered = 0;
    std::string taken;
};

AuditTrail::LineWriter WriterOf(const std::shared_ptr<GatedFile>& file)
{
    return [file](const std::string& line) {
        std::unique_lock<std::mutex> lock(file->mutex);
        ++file->entered;
        file->opened.wait(lock, [&] { return file->open; });
        file->taken += line;
        return true;
    };
}

// A small tmpfs of this thread's own mount namespace (root only), unmounted
// when it goes: a file system that fills up.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(const std::string& folder) : folder(folder)
    {
        std::filesystem::create_directory(folder);
        mounted = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            ::umount2(folder.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted; }
    // Writes a file as large as the room left allows.
    void Fill(const std::string& name) const
    {
        const int fd = ::open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const std::string block(512, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }

private:
    std::string folder;
    bool mounted = false;
};

} // namespace

TEST(AuditTrailFile, RotatesIntoFiveGenerationsAndDropsTheOldest)
{
    TempDir dir;
    const std::string path = dir.File("audit.log");
    const auto now = AuditFile::Clock::now();
    WriteFile(path, std::string(90, 'x') + "\n"); // what an earlier run left counts
    {
        AuditFile file(path, 100, 5);
        for (int number = 1; number <= 13; ++number)
            EXPECT_TRUE(file.Write(Line(number), now));
    }
    const struct
    {
        const char* file;
        std::string contents;
    } expected[] = {
        {"audit.log", Line(13)},
        {"audit.log.1", Line(11) + Line(12)},
        {"audit.log.2", Line(9) + Line(10)},
        {"audit.log.3", Line(7) + Line(8)},
        {"audit.log.4", Line(5) + Line(6)},
        {"audit.log.5", Line(3) + Line(4)},
    };
    for (const auto& file : expected)
        EXPECT_EQ(ReadFile(dir.File(file.file)), file.contents) << file.file;
    EXPECT_FALSE(FileExists(dir.File("audit.log.6")));

    // A line longer than the limit still goes whole into a file of its own.
    AuditFile small(dir.File("small.log"), 10, 5);
    small.Write(Line(1), now);
    small.Write(Line(2), now);
    EXPECT_EQ(ReadFile(dir.File("small.log")), Line(2));
    EXPECT_EQ(ReadFile(dir.File("small.log.1")), Line(1));
}

TEST(AuditTrailFile, AFailureIsLoggedOnceAndTheNextWriteTriesAgain)
{
    TempDir dir;
    const std::string path = dir.File("missing/audit.log");
    const auto now = AuditFile::Clock::now();
    LogCapture log;
    AuditFile file(path, 50, 5);
    for (int number = 1; number <= 3; ++number)
        EXPECT_FALSE(file.Write(Line(number), now));
    EXPECT_EQ(log.Count("Cannot open the audit file " + path + ": No such file or directory"), 1)
        << log.Text();

    std::filesystem::create_directory(dir.File("missing"));
    EXPECT_TRUE(file.Write(Line(4), now));
    EXPECT_EQ(ReadFile(path), Line(4));

    // Failing again after a success is news again: the file is found gone
    // and cannot be made again.
    std::filesystem::remove_all(dir.File("missing"));
    EXPECT_FALSE(file.Write(Line(5), now));
    EXPECT_FALSE(file.Write(Line(6), now));
    EXPECT_EQ(log.Count("The audit file " + path + " was moved or deleted"), 1) << log.Text();
    EXPECT_EQ(log.Count("Cannot open the audit file " + path), 2) << log.Text();
}

// Lines 1-3 are written, then the fault comes; 4-5 follow half a second
// later, 6-8 a second after that (the path has been looked at again), and 9
// once a read-only folder is writable again. Every line the file took is
// found, where a reader of the files (or of the deleted one) finds it.
TEST(AuditTrailFile, FaultsLoseNoRecordThatCouldBeWritten)
{
    struct Files
    {
        std::string folder, path;
        int held = -1; // a reader's descriptor
    };
    const auto notRegular =
        " is not a regular file; the audit trail is off until the service restarts";
    const auto followed = " was moved or deleted; writing on in a new one";
    const struct
    {
        const char* what;
        std::function<void(Files&)> before;
        std::function<bool(Files&)> fault; // true when in place
        int taken;
        std::vector<std::pair<std::string, std::string>> found; // file, or "held"
        const char* logged;                                     // once
    } cases[] = {
        {"deleted",
         {},
         [](Files& f) {
             f.held = ::open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
             return ::unlink(f.path.c_str()) == 0;
         },
         9,
         {{"held", Lines(1, 3)}, {"audit.log.1", Lines(4, 8)}, {"audit.log", Line(9)}},
         followed},
        {"renamed",
         {},
         [](Files& f) { return ::rename(f.path.c_str(), (f.path + ".old").c_str()) == 0; },
         9,
         {{"audit.log.old", Lines(1, 5)}, {"audit.log", Lines(6, 9)}},
         followed},
        {"a FIFO", [](Files& f) { ::mkfifo(f.path.c_str(), 0600); }, {}, 0, {}, notRegular},
        {"a device",
         [](Files& f) { ::symlink("/dev/null", f.path.c_str()); },
         {},
         0,
         {},
         notRegular},
        // The rotation falls due at line 6 and succeeds at line 9.
        {"a read-only folder at rotation",
         {},
         [](Files& f) { return SetReadOnly(f.folder, true); },
         9,
         {{"audit.log.1", Lines(1, 8)}, {"audit.log", Line(9)}},
         "Cannot rotate the audit file "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Files files{dir.File("trail"), dir.File("trail/audit.log")};
        std::filesystem::create_directory(files.folder);
        if (c.before)
            c.before(files);
        LogCapture log;
        const auto start = AuditFile::Clock::now();
        AuditFile file(files.path, 200, 5);
        int taken = 0;
        const auto write = [&](int first, int last, AuditFile::Clock::duration at) {
            for (int number = first; number <= last; ++number)
                taken += file.Write(Line(number), start + at) ? 1 : 0;
        };
        write(1, 3, 0s);
        if (c.fault && !c.fault(files)) {
            SetReadOnly(files.folder, false);
            GTEST_SKIP() << "this file system lets root write in a read-only folder";
        }
        write(4, 5, 500ms);
        write(6, 8, 1500ms);
        SetReadOnly(files.folder, false);
        write(9, 9, 3s);

        EXPECT_EQ(taken, c.taken);
        for (const auto& [name, contents] : c.found) {
            EXPECT_EQ(name == "held" ? ReadHeld(files.held) : ReadFile(dir.File("trail/" + name)),
                      contents)
                << name;
        }
        const auto lines = log.Lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) {
                                    return line.find(c.logged) != std::string::npos;
                                }),
                  1)
            << log.Text();
        if (files.held >= 0)
            ::close(files.held);
    }
}

// The file system fills up under the trail: the record that does not fit
// is cut off again, counted as failed, and once there is room the records
// go on as whole lines.
TEST(AuditTrailFile, AFullFileSystemLeavesOnlyWholeLines)
{
    TempDir dir;
    SmallFileSystem disk(dir.File("disk"));
    if (!disk.Mounted())
        GTEST_SKIP() << "needs root for a tmpfs of its own";
    const std::string path = dir.File("disk/audit.log");
    const auto now = AuditFile::Clock::now();
    LogCapture log;
    AuditFile file(path, 1 << 20, 5);
    // 1000-byte records, so that one of them meets the end of the room.
    const auto record = [](int number) {
        std::string line = "{\"n\":" + std::to_string(number) + ",\"pad\":\"";
        return line + std::string(1000 - line.size() - 3, 'p') + "\"}\n";
    };
    std::string expected;
    int number = 0;
    const auto write = [&] {
        return file.Write(record(++number), now) && (expected += record(number), true);
    };
    ASSERT_TRUE(write());
    disk.Fill("filler");
    int failed = 0;
    while (failed < 3 && number < 200)
        failed += write() ? 0 : 1;
    ASSERT_EQ(failed, 3) << "the file system never filled up";
    EXPECT_TRUE(ReadFile(path) == expected)
        << ReadFile(path).size() << " bytes, not " << expected.size();
    std::filesystem::remove(dir.File("disk/filler"));
    for (int more = 0; more < 3; ++more)
        EXPECT_TRUE(write());
    EXPECT_TRUE(ReadFile(path) == expected)
        << ReadFile(path).size() << " bytes, not " << expected.size();
    EXPECT_EQ(log.Count("Cannot write the audit file " + path + ": No space left on device"), 1)
        << log.Text();
}

TEST(AuditTrail, AFileThatBlocksHoldsUpNeitherTheCallerNorTheStop)
{
    const auto file = std::make_shared<GatedFile>();
    const auto gate = [&](bool open) {
        std::lock_guard<std::mutex> lock(file->mutex);
        file->open = open;
        file->opened.notify_all();
    };
    const auto entered = [&](int count) {
        return WaitUntil([&] {
            std::lock_guard<std::mutex> lock(file->mutex);
            return file->entered >= count;
        });
    };
    LogCapture log;
    // Ten lines fit the queue.
    auto trail = std::make_unique<AuditTrail>("blocked.log", WriterOf(file), 400, 20s);
    for (int round = 0; round < 2; ++round) {
        const int first = 1 + 31 * round;
        trail->WriteLine(Line(first));
        ASSERT_TRUE(entered(1 + 11 * round));
        for (int number = first + 1; number <= first + 30; ++number) // none of these waits
            trail->WriteLine(Line(number));
        EXPECT_EQ(trail->Counts().dropped, 20u * (round + 1));
        EXPECT_EQ(log.Count("The audit file blocked.log does not keep up; dropping the oldest "
                            "audit records until it does"),
                  round + 1)
            << "once per stall";
        gate(true); // the newest ten follow the first
        EXPECT_TRUE(WaitUntil([&] { return trail->Counts().written == 11u * (round + 1); }));
        gate(false);
    }
    // A stop writes what is queued.
    trail->WriteLine(Line(63));
    ASSERT_TRUE(entered(23));
    trail->WriteLine(Line(64));
    gate(true);
    trail.reset();
    EXPECT_EQ(file->taken, Line(1) + Lines(22, 31) + Line(32) + Lines(53, 64));

    // A stop while the file blocks waits only its bound, and says what it
    // leaves behind; the abandoned writer ends after the line it is on.
    trail = std::make_unique<AuditTrail>("blocked.log", WriterOf(file), 400, 200ms);
    gate(false);
    trail->WriteLine(Line(65));
    ASSERT_TRUE(entered(25));
    trail->WriteLine(Line(66));
    trail->WriteLine(Line(67));
    trail.reset();
    EXPECT_EQ(log.Count("The audit file blocked.log did not take the last 3 records in time; "
                        "stopping without them"),
              1);
    gate(true);
}

// A trail a reload replaces: retired without waiting, it writes what it had
// queued, lets its file go, says so and is then freed at once; one whose
// file blocks says nothing, and is freed when its stop wait has passed.
TEST(AuditTrail, ARetiredTrailEndsOnceItsQueueIsWritten)
{
    for (const bool blocked : {false, true}) {
        SCOPED_TRACE(blocked ? "its file blocks" : "its file takes the lines");
        const auto file = std::make_shared<GatedFile>();
        std::mutex mutex;
        bool ended = false;
        LogCapture log;
        auto trail = std::make_unique<AuditTrail>("retired.log", WriterOf(file), 4000,
                                                  blocked ? 100ms : 20s);
        trail->WriteLine(Line(1));
        ASSERT_TRUE(WaitUntil([&] {
            std::lock_guard<std::mutex> lock(file->mutex);
            return file->entered == 1;
        }));
        trail->WriteLine(Line(2));
        trail->Retire([&] {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
        });
        const auto hasEnded = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return ended;
        };
        EXPECT_FALSE(hasEnded()) << "the writer is still on its first line";
        if (blocked) {
            trail.reset(); // returns once the stop wait has passed
            EXPECT_EQ(log.Count("The audit file retired.log did not take the last 2 records"), 1);
        }
        {
            std::lock_guard<std::mutex> lock(file->mutex);
            file->open = true;
            file->opened.notify_all();
        }
        // The writer lets go of its file before it says it has ended; an
        // abandoned one when it ends.
        if (!blocked) {
            EXPECT_TRUE(WaitUntil(hasEnded));
        }
        EXPECT_TRUE(WaitUntil([&] { return file.use_count() == 1; }));
        EXPECT_EQ(hasEnded(), !blocked);
        {
            std::lock_guard<std::mutex> lock(file->mutex);
            EXPECT_EQ(file->taken, blocked ? Line(1) : Lines(1, 2));
        }
        trail.reset();
        EXPECT_EQ(log.Count("The audit file retired.log did not take"), blocked ? 1 : 0);
    }
}

} // namespace korvel::audit_trail_test
