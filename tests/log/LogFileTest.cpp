// The log file through a Log object of the test's own folder: stamps,
// rotation thresholds, fallbacks and whole lines under concurrency.
#include "log/LogFile.h"
#include "log/LogText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

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
