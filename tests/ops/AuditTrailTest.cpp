// The audit file on a real folder with simulated time: rotation into .1 to
// .5, failures logged once, and the faults a file can meet (deleted,
// renamed, replaced by a FIFO or a device, a read-only folder at rotation);
// the queue's drops; and the writer thread in front of a file that blocks.
#include "ops/AuditFile.h"
#include "ops/AuditQueue.h"
#include "ops/AuditTrail.h"

#include "support/LogCapture.h"
#include "support/ReadOnlyFolder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <fcntl.h>
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

// What a descriptor held open still reads of a file; nothing of a FIFO.
std::string ReadHeld(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// A writer that takes lines only while its gate is open, as a file on a
// stalled network file system would; the lines it took, in order. Shared
// with the writer thread, which may outlive the trail that abandoned it.
class GatedWriter
{
public:
    static AuditTrail::LineWriter Writer(const std::shared_ptr<GatedWriter>& gated)
    {
        return [gated](const std::string& line) {
            std::unique_lock<std::mutex> lock(gated->mutex);
            ++gated->entered;
            gated->changed.notify_all();
            gated->changed.wait(lock, [&] { return gated->open; });
            gated->taken += line;
            return true;
        };
    }
    void SetOpen(bool value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = value;
        changed.notify_all();
    }
    bool WaitEntered(int count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return entered >= count; });
    }
    std::string Taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return taken;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;
    std::string taken;
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

    // Failing again after a success is news again: the next line needs a
    // rotation, and the look before it finds the file gone; it cannot be
    // made again.
    std::filesystem::remove_all(dir.File("missing"));
    EXPECT_FALSE(file.Write(Line(5), now));
    EXPECT_FALSE(file.Write(Line(6), now));
    EXPECT_EQ(log.Count("The audit file " + path + " was moved or deleted"), 1) << log.Text();
    EXPECT_EQ(log.Count("Cannot open the audit file " + path + ": No such file or directory"), 2)
        << log.Text();
    EXPECT_EQ(log.Count("Cannot "), 2) << log.Text();

    std::filesystem::create_directory(dir.File("missing"));
    EXPECT_TRUE(file.Write(Line(7), now + 2s));
    EXPECT_EQ(ReadFile(path), Line(7));
}

// Lines 1-3 are written, then the fault comes; lines 4-5 follow half a
// second later, 6-8 a second after that (the path has been looked at again),
// and 9 once the fault is undone. Every line that could be written is found.
TEST(AuditTrailFile, FaultsLoseNoRecordThatCouldBeWritten)
{
    struct Files
    {
        std::string path;
        std::string folder;
        int heldOpen = -1; // a reader's descriptor of the file as it was
    };
    using Undo = std::shared_ptr<ReadOnlyFolder>;
    const struct
    {
        const char* what;
        std::function<void(Files&)> before; // before the first line
        std::function<Undo(Files&)> fault;  // after line 3
        int written;                        // lines the file took
        // Where each line is in the end: the file (or its held descriptor),
        // and its contents.
        std::vector<std::pair<std::string, std::string>> found;
        const char* logged; // once
    } cases[] = {
        {"deleted", {},
         [](Files& files) {
             files.heldOpen = ::open(files.path.c_str(), O_RDONLY | O_CLOEXEC);
             ::unlink(files.path.c_str());
             return Undo();
         },
         9, {{"held", Lines(1, 3)}, {"audit.log.1", Lines(4, 8)}, {"audit.log", Line(9)}},
         " was moved or deleted; writing on in a new one"},
        {"renamed", {},
         [](Files& files) {
             ::rename(files.path.c_str(), (files.path + ".moved").c_str());
             return Undo();
         },
         9, {{"audit.log.moved", Lines(1, 5)}, {"audit.log", Lines(6, 9)}},
         " was moved or deleted; writing on in a new one"},
        {"a FIFO", [](Files& files) { ::mkfifo(files.path.c_str(), 0600); }, {}, 0, {},
         " is not a regular file; the audit trail is off until the service restarts"},
        {"a FIFO with a reader",
         [](Files& files) {
             ::mkfifo(files.path.c_str(), 0600);
             files.heldOpen = ::open(files.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         },
         {}, 0, {{"held", ""}},
         " is not a regular file; the audit trail is off until the service restarts"},
        {"a device", [](Files& files) { ::symlink("/dev/null", files.path.c_str()); }, {}, 0, {},
         " is not a regular file; the audit trail is off until the service restarts"},
        // Rotation is due at line 6; it fails until line 9.
        {"a read-only folder at rotation", {},
         [](Files& files) { return std::make_shared<ReadOnlyFolder>(files.folder); }, 9,
         {{"audit.log.1", Lines(1, 8)}, {"audit.log", Line(9)}}, ": Operation not permitted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Files files{dir.File("trail/audit.log"), dir.File("trail")};
        std::filesystem::create_directory(files.folder);
        if (c.before)
            c.before(files);
        LogCapture log;
        const auto start = AuditFile::Clock::now();
        AuditFile file(files.path, 200, 5);
        int written = 0;
        const auto write = [&](int first, int last, AuditFile::Clock::duration at) {
            for (int number = first; number <= last; ++number)
                written += file.Write(Line(number), start + at) ? 1 : 0;
        };
        write(1, 3, 0s);
        Undo undo = c.fault ? c.fault(files) : Undo();
        if (undo && !undo->Holds())
            GTEST_SKIP() << "this file system lets root write in a read-only folder";
        write(4, 5, 500ms);
        write(6, 8, 1500ms);
        undo.reset();
        write(9, 9, 3s);

        EXPECT_EQ(written, c.written);
        std::string everything;
        for (const auto& [name, contents] : c.found) {
            const std::string text = name == "held" ? ReadHeld(files.heldOpen)
                                                    : ReadFile(dir.File("trail/" + name));
            EXPECT_EQ(text, contents) << name;
            everything += text;
        }
        EXPECT_EQ(everything.size(), static_cast<std::size_t>(c.written) * Line(1).size())
            << "every line written is somewhere";
        const auto lines = log.Lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) {
                                    return line.find(c.logged) != std::string::npos;
                                }),
                  1)
            << log.Text();
        if (files.heldOpen >= 0)
            ::close(files.heldOpen);
    }
}

TEST(AuditQueue, DropsTheOldestAndReportsEachStallOnce)
{
    AuditQueue queue(100);
    const std::string line(40, 'x');
    enum Step
    {
        Push,
        Take,
        CaughtUp
    };
    const struct
    {
        Step step;
        bool startsEpisode;
        std::size_t count;
        std::uint64_t dropped;
    } steps[] = {
        {Push, false, 1, 0},
        {Push, false, 2, 0},
        {Push, true, 2, 1}, // the first line goes
        {Push, false, 2, 2},
        {Take, false, 0, 2},
        {Push, false, 1, 2},     // before the writer has caught up
        {CaughtUp, false, 1, 2}, // a line waits: still the same stall
        {Push, false, 2, 2},
        {Push, false, 2, 3},
        {Take, false, 0, 3},
        {CaughtUp, false, 0, 3}, // the stall ends
        {Push, false, 1, 3},
        {Push, false, 2, 3},
        {Push, true, 2, 4}, // a new one
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const auto& s = steps[i];
        bool starts = false;
        if (s.step == Push)
            starts = queue.Push(line);
        else if (s.step == Take)
            EXPECT_FALSE(queue.TakeAll().empty());
        else
            queue.WriterCaughtUp();
        EXPECT_EQ(starts, s.startsEpisode);
        EXPECT_EQ(queue.Count(), s.count);
        EXPECT_EQ(queue.Dropped(), s.dropped);
    }
    // A line over the bound by itself goes in, alone.
    queue.Push(std::string(150, 'y'));
    EXPECT_EQ(queue.Count(), 1u);
}

TEST(AuditTrail, AFileThatBlocksHoldsUpNeitherTheCallerNorTheStop)
{
    // Ten lines fit the queue.
    const auto file = std::make_shared<GatedWriter>();
    LogCapture log;
    auto trail = std::make_unique<AuditTrail>("blocked.log", GatedWriter::Writer(file), 400, 20s);
    trail->WriteLine(Line(1));
    ASSERT_TRUE(file->WaitEntered(1));
    for (int number = 2; number <= 31; ++number) // none of these waits
        trail->WriteLine(Line(number));
    EXPECT_EQ(trail->Counts().dropped, 20u);
    EXPECT_EQ(log.Count("The audit file blocked.log does not keep up; dropping the oldest audit "
                        "records until it does"),
              1)
        << log.Text();

    // Once the file takes lines again, the newest ten follow the first.
    file->SetOpen(true);
    EXPECT_TRUE(WaitUntil([&] { return trail->Counts().written == 11; }));
    EXPECT_EQ(file->Taken(), Line(1) + Lines(22, 31));

    // A stop writes what is queued.
    file->SetOpen(false);
    trail->WriteLine(Line(32));
    ASSERT_TRUE(file->WaitEntered(12));
    trail->WriteLine(Line(33));
    file->SetOpen(true);
    trail.reset();
    EXPECT_EQ(file->Taken(), Line(1) + Lines(22, 33));

    // A stop while the file blocks waits only its bound, and says what it
    // leaves behind.
    trail = std::make_unique<AuditTrail>("blocked.log", GatedWriter::Writer(file), 400, 200ms);
    file->SetOpen(false);
    trail->WriteLine(Line(34));
    ASSERT_TRUE(file->WaitEntered(14));
    trail->WriteLine(Line(35));
    trail->WriteLine(Line(36));
    trail.reset();
    EXPECT_EQ(log.Count("The audit file blocked.log did not take the last 3 records in time; "
                        "stopping without them"),
              1)
        << log.Text();
    file->SetOpen(true); // the abandoned writer ends after the line it was on
}

} // namespace korvel::audit_trail_test
