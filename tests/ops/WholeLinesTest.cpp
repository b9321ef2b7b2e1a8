// The audit file's whole lines on a simulated file: what a write that stops
// part-way leaves, and what the next line finds.
#include "ops/WholeLines.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace korvel::whole_lines_test {

namespace {

// A file that takes `room` more bytes, then fails; whose cuts fail while
// cutsFail is set. Written the way AuditFile writes a line.
struct SimulatedFile
{
    WholeLines lines;
    std::uint64_t identity = 1;
    std::string bytes;
    std::size_t room = std::numeric_limits<std::size_t>::max();
    bool cutsFail = false;

    bool Append(const std::string& text)
    {
        const std::size_t taken = std::min(room, text.size());
        bytes += text.substr(0, taken);
        room -= taken;
        return taken == text.size();
    }
    void CutBack(std::optional<std::uint64_t> size)
    {
        if (!size)
            return;
        if (!cutsFail)
            bytes.resize(*size);
        lines.Cut(!cutsFail);
    }
    bool Write(const std::string& line)
    {
        CutBack(lines.CutBefore());
        const std::uint64_t start = bytes.size();
        bool whole = true;
        if (lines.LineFeedFirst())
            whole = Append("\n");
        whole = whole && Append(line);
        CutBack(lines.Written(start, bytes.size(), whole));
        return whole;
    }
    void Open() { lines.Opened({0, identity}, bytes.size()); }
};

std::string Record(int number)
{
    return "{\"n\":" + std::to_string(number) + "}\n";
}

} // namespace

TEST(WholeLines, ALineThatCannotBeWrittenWholeLeavesNoneTorn)
{
    // Steps: "w" writes the next record (1, 2, ...); "full N" leaves N bytes
    // of room, "free" all there is; "cuts fail", "cuts work"; "reopen" the
    // same file; "replace" another, empty file at the path.
    const struct
    {
        const char* what;
        std::vector<std::string> steps;
        std::string bytes;   // the file's at the end
        std::string written; // each write: + whole, - failed
    } cases[] = {
        {"a line that fits", {"w", "w"}, Record(1) + Record(2), "++"},
        {"a line that stops part-way is cut off at once",
         {"w", "full 3", "w", "free", "w"},
         Record(1) + Record(3),
         "+-+"},
        {"nothing of it went in", {"full 0", "w", "free", "w"}, Record(2), "-+"},
        {"a cut that failed is made before the next line",
         {"full 3", "cuts fail", "w", "cuts work", "free", "w"},
         Record(2),
         "-+"},
        {"also once the file is opened again",
         {"w", "full 3", "cuts fail", "w", "reopen", "cuts work", "free", "w"},
         Record(1) + Record(3),
         "+-+"},
        {"a cut that still fails: the next line starts on a line of its own",
         {"full 3", "cuts fail", "w", "free", "w", "w"},
         "{\"n" + std::string("\n") + Record(2) + Record(3),
         "-++"},
        {"its line feed and its line both torn: cut back to the last whole line",
         {"w", "full 3", "cuts fail", "w", "full 1", "w", "cuts work", "free", "w"},
         Record(1) + Record(4),
         "+--+"},
        {"a torn line in a file no longer at the path is left there; the new one starts clean",
         {"full 3", "cuts fail", "w", "replace", "free", "cuts work", "w"},
         Record(2),
         "-+"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedFile file;
        file.Open();
        std::string written;
        int number = 0;
        for (const std::string& step : c.steps) {
            if (step == "w") {
                written += file.Write(Record(++number)) ? '+' : '-';
            } else if (step.rfind("full ", 0) == 0) {
                file.room = std::stoul(step.substr(5));
            } else if (step == "free") {
                file.room = std::numeric_limits<std::size_t>::max();
            } else if (step == "cuts fail" || step == "cuts work") {
                file.cutsFail = step == "cuts fail";
            } else if (step == "reopen") {
                file.Open();
            } else if (step == "replace") {
                ++file.identity;
                file.bytes.clear();
                file.Open();
            }
        }
        EXPECT_EQ(file.bytes, c.bytes);
        EXPECT_EQ(written, c.written);
    }
}

} // namespace korvel::whole_lines_test
