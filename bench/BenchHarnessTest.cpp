// The bench's own bookkeeping: frames reaching its cameras through real
// loopback sockets however TCP cuts them, the tally of what arrived, and
// the percentiles. A bench that miscounts reports figures nobody should trust.
#include "CameraFarm.h"
#include "FrameLedger.h"
#include "LatencySummary.h"
#include "ResultTable.h"
#include "SessionPool.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace korvel {

using boost::asio::ip::tcp;

namespace {

std::string Bytes(const BenchFrame::Bytes& frame)
{
    return std::string(frame.begin(), frame.end());
}

} // namespace

TEST(BenchHarness, CamerasCountEveryFrameHoweverTheBytesAreCut)
{
    const struct
    {
        const char* name;
        std::size_t cut;     // bytes per write, 0: all in one write
        bool garbageBetween; // a stray byte before every frame
        std::size_t garbled; // bytes the camera skips
    } cases[] = {
        {"a frame per write", BenchFrame::Length, false, 0},
        {"all in one write", 0, false, 0},
        {"a byte per write", 1, false, 0},
        {"frames split across writes", 5, false, 0},
        {"a stray byte before each frame", 0, true, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context io;
        FrameLedger ledger;
        CameraFarm farm(io, {1}, ledger, true);
        const auto steering = ledger.AddSession(1, 3);
        const auto refused = ledger.AddSession(1, 2);
        ledger.ExpectDelivery(refused, false);
        const auto elsewhere = ledger.AddSession(2, 1);

        // Sent: steering 0..2, refused 0..1, elsewhere 0. Arriving: steering
        // 0 and 2, refused 1, elsewhere 0 (at the wrong camera), steering 2
        // once more, and a frame nobody sent.
        for (std::uint16_t s : {0, 1, 2})
            ledger.RecordSend(steering, s, 1000 * (s + 1), true);
        ledger.RecordSend(refused, 0, 1000, true);
        ledger.RecordSend(refused, 1, 2000, true);
        ledger.RecordSend(elsewhere, 0, 1000, true);
        std::string stream;
        for (const auto& frame :
             {ledger.Frame(steering, 0), ledger.Frame(steering, 2), ledger.Frame(refused, 1),
              ledger.Frame(elsewhere, 0), ledger.Frame(steering, 2), ledger.Frame(refused, 1)}) {
            if (c.garbageBetween)
                stream += '\x42';
            stream += Bytes(frame);
        }
        stream.erase(stream.size() - (c.garbageBetween ? 8 : 7)); // drop the last one again
        stream += Bytes(BenchFrame::Build({1, 7, 0}));            // nobody's

        const auto& endpoint = farm.Endpoints().at(0);
        tcp::socket relay(io);
        relay.connect({boost::asio::ip::make_address(endpoint.address), endpoint.port});
        relay.set_option(tcp::no_delay(true));
        const std::size_t cut = c.cut == 0 ? stream.size() : c.cut;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            boost::asio::write(
                relay, boost::asio::buffer(stream.data() + at, std::min(cut, stream.size() - at)));
            RunFor(io, std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(RunUntil(
            io, [&] { return ledger.Tally().strays == 1; }, std::chrono::seconds(10)));

        const FrameTally tally = ledger.Tally();
        EXPECT_EQ(tally.sent, 6u);
        EXPECT_EQ(tally.delivered, 4u);
        EXPECT_EQ(tally.lost, 1u);       // steering 1
        EXPECT_EQ(tally.refused, 1u);    // refused 0
        EXPECT_EQ(tally.unexpected, 1u); // refused 1
        EXPECT_EQ(tally.duplicates, 1u);
        EXPECT_EQ(tally.misrouted, 1u);
        EXPECT_EQ(farm.Garbled(), c.garbled);
        EXPECT_EQ(farm.CamerasConnected(), 1u);
        // Arrival stamps come from the kernel, after the sends recorded above.
        for (std::int64_t latency : ledger.Latencies())
            EXPECT_GT(latency, 0);
        EXPECT_EQ(ledger.Latencies().size(), 4u);
    }
}

TEST(BenchHarness, PercentilesAreNearestRank)
{
    const struct
    {
        std::vector<std::int64_t> samples;
        LatencySummary expected;
    } cases[] = {
        {{}, {0, 0, 0, 0, 0}},
        {{5}, {1, 5, 5, 5, 5}},
        {{4, 1, 3, 2}, {4, 2, 4, 4, 4}},
        {[] {
             std::vector<std::int64_t> hundred;
             for (int i = 100; i >= 1; --i)
                 hundred.push_back(i);
             return hundred;
         }(),
         {100, 50, 90, 99, 100}},
    };
    for (const auto& c : cases) {
        const LatencySummary summary = Summarise(c.samples);
        EXPECT_EQ(summary.samples, c.expected.samples);
        EXPECT_EQ(summary.p50, c.expected.p50);
        EXPECT_EQ(summary.p90, c.expected.p90);
        EXPECT_EQ(summary.p99, c.expected.p99);
        EXPECT_EQ(summary.max, c.expected.max);
    }
}

// A run during which the whole machine stalled is marked, so nobody reads
// the host's stall as the relay's tail; a quiet machine's line is unchanged.
TEST(BenchHarness, ResultLinesSayWhenTheMachinePaused)
{
    const struct
    {
        std::vector<MachinePauses> runs;
        std::string expected; // empty: the line says nothing of pauses
    } cases[] = {
        {{{}, {}, {}}, ""},
        {{{}, {2, 101'400'000}, {1, 35'000'000}},
         " | the machine paused over 20 ms in 2 of 3 runs (longest 101 ms)"},
    };
    for (const auto& c : cases) {
        ScenarioRecord record{ScenarioKind::Crowd, "crowd", "a crowd", {}, {}};
        for (const MachinePauses& pauses : c.runs) {
            ScenarioResult run;
            run.machine = pauses;
            record.service.push_back(run);
        }
        const std::string line = ResultLine(record);
        if (c.expected.empty())
            EXPECT_EQ(line.find("paused"), std::string::npos) << line;
        else
            EXPECT_NE(line.find(c.expected), std::string::npos) << line;
    }
}

// The attack line passes only while the operators' notices keep a median
// under 1 ms and a p99 within 1.5 times the quiet run's, every status poll
// is answered, and so is every login of the workstation.
TEST(BenchHarness, AttackLineHoldsItsTargetOnlyWhenEveryPartHolds)
{
    const struct
    {
        std::int64_t p50, p99;
        std::size_t pollsFailed;
        std::size_t workstationLogins; // of 3 tried
        bool passes;
    } cases[] = {
        {400'000, 1'400'000, 0, 3, true},
        {1'000'000, 1'400'000, 0, 3, false},
        {400'000, 1'600'000, 0, 3, false},
        {400'000, 1'400'000, 1, 3, false},
        {400'000, 1'400'000, 0, 2, false},
    };
    for (const auto& c : cases) {
        ScenarioResult attacked, quiet;
        attacked.latency = {100, c.p50, c.p99, c.p99, c.p99};
        attacked.statusFailures = c.pollsFailed;
        attacked.probeTries = 3;
        attacked.probeLogins = c.workstationLogins;
        quiet.latency = {100, 300'000, 1'000'000, 1'000'000, 1'000'000};
        const std::string line =
            ResultLine({ScenarioKind::Attacked, "attack", "under attack", {attacked}, {quiet}});
        EXPECT_NE(line.find(c.passes ? ": PASS" : ": MISS"), std::string::npos) << line;
    }
}

// The slow line passes only while every rate's lag stays under 1.5 s and
// nothing is dropped at a rate the line carries; drops above it are the
// bound at work. The line shows each rate's lag and drops.
TEST(BenchHarness, SlowLineHoldsItsTargetOnlyWhenEveryRateHolds)
{
    using Rate = ScenarioResult::SlowLineRate;
    const struct
    {
        std::vector<Rate> rates;
        bool passes;
    } cases[] = {
        {{{30, true, 300, 300, 40'000'000}, {50, false, 500, 380, 1'030'000'000}}, true},
        {{{30, true, 300, 299, 40'000'000}, {50, false, 500, 380, 1'030'000'000}}, false},
        {{{30, true, 300, 300, 40'000'000}, {50, false, 500, 500, 4'600'000'000}}, false},
    };
    for (const auto& c : cases) {
        ScenarioResult run;
        run.slowLine = c.rates;
        const std::string line =
            ResultLine({ScenarioKind::SlowLine, "slow", "a slow line", {run}, {}});
        EXPECT_NE(line.find(c.passes ? ": PASS" : ": MISS"), std::string::npos) << line;
        EXPECT_NE(line.find("30/s lag 0.04 s, " + std::to_string(300 - c.rates[0].delivered) +
                            " of 300 dropped"),
                  std::string::npos)
            << line;
    }
}

} // namespace korvel
