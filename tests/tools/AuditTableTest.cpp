// korvelctl audit: the service's audit lines read back, filtered and shown.
#include "korvelctl/AuditTable.h"

#include <gtest/gtest.h>

#include <sstream>

namespace korvel::audit_table_test {

namespace {

const char* const Trail =
    R"({"time":"2026-12-08T02:12:59.001Z","event":"login","session":50123,"user":"ann","priority":5,"client":"10.0.0.7"})"
    "\n"
    R"({"time":"2026-12-08T02:13:04.007Z","event":"control","camera":7,"session":50200,"user":"bob","priority":9,"previous_session":50123,"previous_user":"ann","previous_priority":5})"
    "\n"
    "not a record\n"
    R"({"time":"2026-12-08T02:13:05.100Z","event":"refused","camera":7,"session":50123,"user":"ann","priority":5,"holder_session":50200,"holder_user":"bob","holder_priority":9})"
    "\n"
    R"({"time":"2026-12-08T02:13:15.100Z","event":"release","camera":7,"session":50200,"user":"b\u00e9b \"x\"","priority":9})"
    "\n"
    R"({"time":"2026-12-08T02:14:00.000Z","event":"control","camera":3,"session":50300,"user":null,"priority":0})"
    "\n"
    R"({"time":"2026-12-08T02:15:00.000Z","event":"reload","result":"applied","summary":"Reloaded tlKorvel.xml: 1 user added."})"
    "\n";

std::string Table(const AuditFilter& filter, std::size_t& skipped)
{
    std::istringstream in(Trail);
    std::ostringstream out;
    PrintAuditTable(in, filter, out, skipped);
    return out.str();
}

} // namespace

TEST(AuditTable, FiltersByCameraUserAndTime)
{
    std::size_t skipped = 0;
    EXPECT_EQ(Table({}, skipped),
              "TIME (UTC)               EVENT         CAMERA  SESSION  USER              PRIORITY  "
              "DETAIL\n"
              "2026-12-08 02:12:59.001  login                 50123    ann               5         "
              "from 10.0.0.7\n"
              "2026-12-08 02:13:04.007  control       7       50200    bob               9         "
              "took it from ann (50123), priority 5\n"
              "2026-12-08 02:13:05.100  refused       7       50123    ann               5         "
              "held by bob (50200), priority 9\n"
              "2026-12-08 02:13:15.100  release       7       50200    b\xc3\xa9"
              "b \"x\"           9         hold lapsed\n"
              "2026-12-08 02:14:00.000  control       3       50300    -                 0\n"
              "2026-12-08 02:15:00.000  reload                                                     "
              "Reloaded tlKorvel.xml: 1 user added.\n");
    EXPECT_EQ(skipped, 1u);

    const struct
    {
        AuditFilter filter;
        std::size_t rows;
    } cases[] = {
        {{"7", std::nullopt, std::nullopt}, 3},
        {{"3", std::nullopt, std::nullopt}, 1},
        {{std::nullopt, "ann", std::nullopt}, 2},
        {{"7", "ann", std::nullopt}, 1},
        {{std::nullopt, std::nullopt, "2026-12-08T02:13"}, 5},
        {{std::nullopt, std::nullopt, "2026-12-08 02:13:05"}, 4},
        {{std::nullopt, std::nullopt, "2026-12-09"}, 0},
        {{std::nullopt, std::nullopt, "2026-12-08"}, 6},
    };
    for (const auto& c : cases) {
        const std::string table = Table(c.filter, skipped);
        EXPECT_EQ(static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n')),
                  c.rows + 1)
            << table;
    }
}

TEST(AuditTable, LinesThatAreNoFlatObjectAreRejected)
{
    for (const char* line : {"", "{", "{\"a\":}", "{\"a\":1,}", "{\"a\":\"x}", "{\"a\":{\"b\":1}}",
                             "{\"a\":1} trailing", "[1]"})
        EXPECT_FALSE(ParseAuditLine(line)) << line;
    const auto fields = ParseAuditLine(R"( {"a" : "x\ty\\", "b":-12, "c":null, "d":true} )");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->at("a"), "x\ty\\");
    EXPECT_EQ(fields->at("b"), "-12");
    EXPECT_FALSE(fields->at("c"));
    EXPECT_EQ(fields->at("d"), "true");
}

} // namespace korvel::audit_table_test
