// The audit file on a real folder: rotation into .1 to .5, and a write
// failure logged once without stopping anything.
#include "ops/AuditTrail.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace korvel::audit_trail_test {

namespace {

// A line of 40 bytes that names its number.
std::string Line(int number)
{
    std::string line = "{\"n\":" + std::to_string(number) + "}";
    return line + std::string(39 - line.size(), ' ') + "\n";
}

} // namespace

TEST(AuditTrailFile, RotatesIntoFiveGenerationsAndDropsTheOldest)
{
    TempDir dir;
    const std::string path = dir.File("audit.log");
    WriteFile(path, std::string(90, 'x') + "\n"); // what an earlier run left counts
    {
        AuditTrail trail(path, 100, 5);
        for (int number = 1; number <= 13; ++number)
            trail.WriteLine(Line(number));
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
    AuditTrail small(dir.File("small.log"), 10, 5);
    small.WriteLine(Line(1));
    small.WriteLine(Line(2));
    EXPECT_EQ(ReadFile(dir.File("small.log")), Line(2));
    EXPECT_EQ(ReadFile(dir.File("small.log.1")), Line(1));
}

TEST(AuditTrailFile, AFailureIsLoggedOnceAndTheNextWriteTriesAgain)
{
    TempDir dir;
    const std::string path = dir.File("missing/audit.log");
    LogCapture log;
    AuditTrail trail(path, 50, 5);
    for (int number = 1; number <= 3; ++number)
        trail.WriteLine(Line(number));
    EXPECT_EQ(log.Count("Cannot open the audit file " + path + ": No such file or directory"), 1)
        << log.Text();

    std::filesystem::create_directory(dir.File("missing"));
    trail.WriteLine(Line(4));
    EXPECT_EQ(ReadFile(path), Line(4));

    // Failing again after a success is news again: the next line needs a
    // rotation, which finds the folder gone.
    std::filesystem::remove_all(dir.File("missing"));
    trail.WriteLine(Line(5));
    trail.WriteLine(Line(6));
    EXPECT_EQ(log.Count("Cannot rotate the audit file " + path + ": No such file or directory"), 1)
        << log.Text();
    EXPECT_EQ(log.Count("Cannot "), 2) << log.Text();
}

} // namespace korvel::audit_trail_test
