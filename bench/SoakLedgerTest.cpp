// The soak's books: a run that passes must be one where nothing admitted went
// astray, so the ledger must catch every way a frame can.
#include "SoakLedger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel {

namespace {

constexpr std::int64_t Second = 1'000'000'000;

// One step of a round, on camera 3 (connections numbered from 1).
struct Step
{
    enum Kind
    {
        Send,    // session sends its next frame to camera 3 at `at`
        Open,    // connection `connection` opens at `at`
        End,     // connection `connection` ends at `at`
        Drop,    // the camera drops its connections at `at`
        Arrive,  // frame `sequence` of `session` arrives on `connection`
        Notices, // the operators received `sequence` notices
    } kind;
    std::int64_t at = 0;
    std::uint16_t session = 0;
    std::uint16_t sequence = 0;
    std::uint32_t connection = 1;
};

} // namespace

TEST(SoakLedger, CatchesEveryFrameThatGoesAstray)
{
    using S = Step;
    const struct
    {
        const char* name;
        std::vector<Step> steps;
        CommandCounts counted; // by the service, for camera 3
        std::uint64_t noticesQueued;
        RoundTally expected; // the fields checked below
    } cases[] = {
        {"written and arrived",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::Send, 2 * Second}, {S::Arrive, 0, 0, 0, 1},
          {S::Arrive, 0, 0, 1, 1}, {S::Notices, 0, 0, 2}},
         {2, 0, 0, 0}, 2, {.sent = 2, .delivered = 2, .noticesDue = 2, .noticesReceived = 2}},
        {"written, never arrived",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}},
         {1, 0, 0, 0}, 0, {.sent = 1, .lost = 1}},
        {"written just before the camera dropped",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::Drop, Second + Second / 2}},
         {1, 0, 0, 0}, 0, {.sent = 1, .lostInDrops = 1}},
        {"written long before a drop, never arrived",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::Drop, 5 * Second}},
         {1, 0, 0, 0}, 0, {.sent = 1, .lost = 1}},
        {"refused and failed, in the service's count",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::Send, Second, 1}},
         {0, 1, 0, 1}, 0, {.sent = 2, .refused = 1, .failed = 1}},
        {"arrived twice",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::Arrive, 0, 0, 0, 1}, {S::Arrive, 0, 0, 0, 1}},
         {1, 0, 0, 0}, 0, {.sent = 1, .delivered = 1, .duplicates = 1}},
        {"a later frame first",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::Send, Second}, {S::Arrive, 0, 0, 1, 1},
          {S::Arrive, 0, 0, 0, 1}},
         {2, 0, 0, 0}, 0, {.sent = 2, .delivered = 2, .outOfOrder = 1}},
        {"sent before the connection ended, arrived on the next",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::End, 2 * Second, 0, 0, 1},
          {S::Open, 3 * Second, 0, 0, 2}, {S::Arrive, 0, 0, 0, 2}},
         {1, 0, 0, 0}, 0, {.sent = 1, .delivered = 1, .stale = 1}},
        {"sent after the connection ended, arrived on the next",
         {{S::Open, 0, 0, 0, 1}, {S::End, 2 * Second, 0, 0, 1}, {S::Send, 3 * Second},
          {S::Open, 4 * Second, 0, 0, 2}, {S::Arrive, 0, 0, 0, 2}},
         {1, 0, 0, 0}, 0, {.sent = 1, .delivered = 1}},
        {"sent, in no outcome of the service's",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}},
         {0, 0, 0, 0}, 0, {.sent = 1, .unaccounted = 1}},
        {"arrived, never counted written",
         {{S::Open, 0, 0, 0, 1}, {S::Send, Second}, {S::Arrive, 0, 0, 0, 1}},
         {0, 0, 1, 0}, 0, {.sent = 1, .delivered = 1, .dropped = 1, .unaccounted = 1}},
        {"a notice queued, not received",
         {{S::Notices, 0, 0, 1}},
         {0, 0, 0, 0}, 2, {.noticesDue = 2, .noticesReceived = 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SoakLedger ledger;
        ServiceCounters before, after;
        before.commands[3] = {};
        after.commands[3] = c.counted;
        after.noticesSent = c.noticesQueued;
        for (const Step& step : c.steps) {
            switch (step.kind) {
            case S::Send: ledger.Send(step.session, 3, step.at); break;
            case S::Open: ledger.ConnectionOpened(3, step.connection, step.at); break;
            case S::End: ledger.ConnectionEnded(3, step.connection, step.at); break;
            case S::Drop: ledger.CameraDropped(3, step.at); break;
            case S::Arrive:
                ledger.Arrival(3, step.connection, {3, step.session, step.sequence}, 0);
                break;
            case S::Notices: ledger.NoticesReceived(step.sequence); break;
            }
        }
        const RoundTally got = ledger.CloseRound(before, after);
        EXPECT_EQ(got.sent, c.expected.sent);
        EXPECT_EQ(got.delivered, c.expected.delivered);
        EXPECT_EQ(got.refused, c.expected.refused);
        EXPECT_EQ(got.dropped, c.expected.dropped);
        EXPECT_EQ(got.failed, c.expected.failed);
        EXPECT_EQ(got.lostInDrops, c.expected.lostInDrops);
        EXPECT_EQ(got.lost, c.expected.lost);
        EXPECT_EQ(got.unaccounted, c.expected.unaccounted);
        EXPECT_EQ(got.duplicates, c.expected.duplicates);
        EXPECT_EQ(got.outOfOrder, c.expected.outOfOrder);
        EXPECT_EQ(got.stale, c.expected.stale);
        EXPECT_EQ(got.noticesDue, c.expected.noticesDue);
        EXPECT_EQ(got.noticesReceived, c.expected.noticesReceived);
        EXPECT_EQ(got.Faulty(), got.lost || got.unaccounted || got.duplicates || got.outOfOrder ||
                                    got.stale || got.noticesDue != got.noticesReceived);
    }
}

TEST(SoakLedger, ReadsTheCountersAndJudgesGrowth)
{
    const std::string metrics =
        "# TYPE tlkorvel_commands_total counter\n"
        "tlkorvel_commands_total{camera=\"3\",outcome=\"forwarded\"} 17\n"
        "tlkorvel_commands_total{camera=\"3\",outcome=\"refused\"} 2\n"
        "tlkorvel_commands_total{camera=\"3\",outcome=\"dropped\"} 1\n"
        "tlkorvel_commands_total{camera=\"3\",outcome=\"failed\"} 4\n"
        "tlkorvel_commands_total{camera=\"12\",outcome=\"forwarded\"} 9\n"
        "tlkorvel_commands_total{outcome=\"unknown_camera\"} 5\n"
        "tlkorvel_notices_sent_total_other 99\n"
        "tlkorvel_notices_sent_total 40\n";
    ServiceCounters counters;
    ASSERT_TRUE(ParseServiceCounters(metrics, counters));
    EXPECT_EQ(counters.commands[3].Total(), 24u);
    EXPECT_EQ(counters.commands[3].failed, 4u);
    EXPECT_EQ(counters.commands[12].forwarded, 9u);
    EXPECT_EQ(counters.unknownCamera, 5u);
    EXPECT_EQ(counters.noticesSent, 40u);
    EXPECT_FALSE(ParseServiceCounters("tlkorvel_notices_sent_total 4\n", counters));

    const struct
    {
        ProcessGauge last;
        const char* grew;
    } cases[] = {
        {{10200, 20, 5, 8}, ""},                  // 2% more memory, other connections
        {{10201, 20, 5, 8}, "resident kB 10000 -> 10201"},
        {{9000, 21, 0, 8}, "descriptors 20 -> 21"},
        {{10000, 20, 0, 9}, "threads 8 -> 9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GrowthBeyond({10000, 20, 30, 8}, c.last, 0.02), c.grew);
}

} // namespace korvel
