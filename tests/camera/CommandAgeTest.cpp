// The write path's bound on a command's age, on simulated time: a line that
// carries a fixed number of bytes a second (a serial port, a pseudo-terminal
// or a terminal server's line) takes whatever it is handed, the way the
// system's buffers do, and says how much it still holds when asked; the
// test plays the camera's part as TrackCamera does (a serial write ends on
// the next turn of the loop; the line timer wakes the path at WakeAt).
#include "camera/CommandWritePath.h"
#include "camera/PelcoStop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::command_age_test {

namespace {

using namespace std::chrono_literals;
using TimePoint = TimeSource::TimePoint;
using Duration = TimeSource::Duration;

const std::string Move("\xff\x01\x00\x04\x20\x00\x25", 7); // pan right
const std::string Stop("\xff\x01\x00\x00\x00\x00\x01", 7);

// n commands of one kind sent at `at`, named prefix1, prefix2, ... (numbered
// on from the series before them with the same prefix).
struct Burst
{
    int at; // ms
    int count;
    std::string prefix;
    std::string bytes = Move;
};

// At `every` ms from `from` to `until` (exclusive), one command each.
std::vector<Burst> Steady(int from, int until, int every, const std::string& prefix)
{
    std::vector<Burst> bursts;
    for (int at = from; at < until; at += every)
        bursts.push_back({at, 1, prefix});
    return bursts;
}

class Line
{
public:
    struct Setup
    {
        double realBytesPerSecond;       // how fast the line really drains
        double configuredBytesPerSecond; // what the write path is told (0: not known)
        bool reports;                    // the system says what it holds
        Duration maxAge = 1s;
    };

    explicit Line(const Setup& setup)
        : setup(setup),
          path(1 << 20, LineLimits{setup.maxAge, setup.configuredBytesPerSecond},
               setup.reports ? LineBacklog::Probe([this] { return Held(); }) : LineBacklog::Probe())
    {
        path.UseTransport(1);
    }

    void Play(const std::vector<Burst>& bursts)
    {
        std::map<int, std::vector<Burst>> byTime;
        for (const Burst& burst : bursts)
            byTime[burst.at].push_back(burst);
        for (const auto& [at, sends] : byTime) {
            RunUntil(start + std::chrono::milliseconds(at));
            for (const Burst& burst : sends)
                for (int i = 0; i < burst.count; ++i)
                    Send(burst.prefix + std::to_string(++numbers[burst.prefix]), burst.bytes);
        }
        RunUntil(start + 120s);
    }

    // The commands that left on the line, in order, series compressed
    // ("M1-34 S1 M40").
    std::string Arrived() const
    {
        std::string text, prefix;
        int first = 0, last = 0;
        auto flush = [&] {
            if (prefix.empty())
                return;
            text += (text.empty() ? "" : " ") + prefix + std::to_string(first);
            if (last != first)
                text += "-" + std::to_string(last);
        };
        for (const auto& [name, when] : arrivals) {
            const std::size_t digits = name.find_first_of("0123456789");
            const std::string head = name.substr(0, digits);
            const int number = std::stoi(name.substr(digits));
            if (head == prefix && number == last + 1) {
                last = number;
                continue;
            }
            flush();
            prefix = head;
            first = last = number;
        }
        flush();
        return text;
    }
    // When the last command's last byte left, in ms from the start.
    long LastLeft() const { return arrivals.empty() ? -1 : Ms(arrivals.back().second); }
    std::string Newest() const { return names.rbegin()->second; }
    // The names in the order their writes completed (who took the hold).
    std::vector<std::string> Holds() const { return holds; }
    std::vector<std::string> ArrivalNames() const
    {
        std::vector<std::string> out;
        for (const auto& arrival : arrivals)
            out.push_back(arrival.first);
        return out;
    }
    std::vector<std::string> log;

private:
    static long Ms(TimePoint when)
    {
        return std::lround(std::chrono::duration<double, std::milli>(when - start).count());
    }

    std::optional<std::size_t> Held() const
    {
        const double seconds = std::chrono::duration<double>(freeAt - now).count();
        return static_cast<std::size_t>(std::max(0.0, seconds * setup.realBytesPerSecond));
    }

    void Log(const std::string& line) { log.push_back(std::to_string(Ms(now)) + " " + line); }

    void CountLate(const CommandWritePath::Late& late)
    {
        if (late.episodeBegins)
            Log("cannot keep up");
    }

    // TrackCamera::SendCommand
    void Send(const std::string& name, const std::string& bytes)
    {
        const auto session = static_cast<std::uint16_t>(names.size() + 1);
        names[session] = name;
        const auto routing = path.Send(now, session, 0, bytes.data(), bytes.size());
        CountLate(routing.late);
        if (routing.route == CommandWritePath::Route::WriteNow)
            Write(session, bytes.size());
        if (routing.route == CommandWritePath::Route::Queued && !path.Busy())
            WriteWaiting();
        Settle();
    }

    // The serial port takes the whole write; it ends on the loop's next turn.
    void Write(std::uint16_t session, std::size_t length)
    {
        freeAt = std::max(freeAt, now) +
                 std::chrono::duration_cast<Duration>(std::chrono::duration<double>(
                     static_cast<double>(length) / setup.realBytesPerSecond));
        arrivals.emplace_back(names[session], freeAt);
        path.WriteInFlight(CameraCommand{session, 0, std::vector<char>(length)});
        loop.push_back([this] {
            holds.push_back(names[path.InFlightEnded(1, Outcome::Done).sessionId]);
            WriteWaiting();
            Settle();
        });
    }

    void WriteWaiting()
    {
        for (;;) {
            auto next = path.TakeNext(now);
            CountLate(next.late);
            if (!next.command)
                return;
            Write(next.command->sessionId, next.command->bytes.size());
        }
    }

    void Settle()
    {
        if (const auto dropped = path.CaughtUp(now))
            Log("keeps up again; " + std::to_string(*dropped) + " dropped");
        wake = path.WakeAt(now);
    }

    void RunUntil(TimePoint until)
    {
        for (;;) {
            while (!loop.empty()) {
                auto next = std::move(loop.front());
                loop.pop_front();
                next();
            }
            if (!wake || *wake > until)
                break;
            now = std::max(now, *wake);
            wake.reset();
            WriteWaiting();
            Settle();
        }
        now = std::max(now, until);
    }

    static constexpr TimePoint start = TimePoint(std::chrono::hours(1));
    Setup setup;
    CommandWritePath path;
    TimePoint now = start;
    TimePoint freeAt = start; // when the line has carried what it holds
    std::optional<TimePoint> wake;
    std::deque<std::function<void()>> loop;
    std::map<std::uint16_t, std::string> names;
    std::map<std::string, int> numbers;
    std::vector<std::pair<std::string, TimePoint>> arrivals;
    std::vector<std::string> holds;
};

// A 2,400-baud line: 240 bytes a second, a 7-byte frame in 29 ms.
constexpr double Baud2400 = 240;

std::vector<Burst> Then(std::vector<Burst> first, const std::vector<Burst>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

} // namespace

TEST(CommandAge, CommandsLeaveWithinTheBoundOrAreDroppedOldestFirst)
{
    const Line::Setup serial{Baud2400, Baud2400, false};
    const struct
    {
        const char* name;
        Line::Setup line;
        std::vector<Burst> sends;
        std::string arrived;
        long lastLeft; // ms
        std::vector<std::string> log;
    } cases[] = {
        {"10 frames a second: each leaves 29 ms after it was sent",
         serial, Steady(0, 3000, 100, "M"), "M1-30", 2929, {}},
        {"30 frames a second still fit the line: none dropped",
         serial, Steady(0, 3000, 33, "M"), "M1-91", 2999, {}},
        {"a burst the line carries within the bound: all of it, in order",
         serial, {{0, 34, "M"}}, "M1-34", 992, {}},
        {"a longer burst: what leaves in time, then the newest once the line is nearly down",
         serial, {{0, 50, "M"}}, "M1-34 M50", 1021,
         {"0 cannot keep up", "1021 keeps up again; 15 dropped"}},
        {"50 frames a second: the newest, a stop, leaves within the bound of its sending",
         serial, Then(Steady(0, 5000, 20, "M"), {{5000, 1, "S", Stop}}), "", 6008,
         {"2140 cannot keep up", "6008 keeps up again; 45 dropped"}},
        {"a stop is kept over the moves before it; the moves after it, but the newest, go",
         serial, {{0, 34, "M"}, {0, 1, "S", Stop}, {0, 6, "M"}}, "M1-34 S1 M40", 1050,
         {"942 cannot keep up", "1050 keeps up again; 5 dropped"}},
        {"a later stop takes an earlier one's place",
         serial, {{0, 34, "M"}, {0, 1, "S", Stop}, {0, 3, "M"}, {0, 1, "S", Stop}}, "M1-34 S2",
         1021, {"0 cannot keep up", "1021 keeps up again; 4 dropped"}},
        {"a queue the system reports, speed not known: commands older than the bound go unsent",
         {2400, 0, true}, {{0, 10, "C", std::string(1000, 'x')}}, "C1-7 C10", 3333,
         {"1025 cannot keep up", "3350 keeps up again; 2 dropped"}},
        {"no bound: every command, however late",
         {Baud2400, Baud2400, false, 0s}, {{0, 50, "M"}}, "M1-50", 1458, {}},
        {"neither speed nor queue known: as without a bound",
         {Baud2400, 0, false}, {{0, 50, "M"}}, "M1-50", 1458, {}},
    };
    for (const auto& c : cases) {
        Line line(c.line);
        line.Play(c.sends);
        if (!c.arrived.empty()) {
            EXPECT_EQ(line.Arrived(), c.arrived) << c.name;
        }
        EXPECT_EQ(line.LastLeft(), c.lastLeft) << c.name;
        EXPECT_EQ(line.log, c.log) << c.name;
        EXPECT_EQ(line.Holds(), line.ArrivalNames())
            << c.name << ": every command written took the hold, in order";
        EXPECT_EQ(line.ArrivalNames().back(), line.Newest()) << c.name << ": the newest is never dropped";
    }
}

TEST(CommandAge, StopFramesAreKnownByTheirBytes)
{
    const struct
    {
        std::string bytes;
        bool stop;
    } cases[] = {
        {Stop, true},
        {std::string("\xff\x2a\x00\x00\x00\x00\x2a", 7), true},
        {std::string("\xa0\x01\x00\x00\x00\x00\xaf\x0e", 8), true},          // Pelco-P
        {Move + Stop, true},                                                // ends in a stop
        {Stop + Move, false},                                               // ends moving
        {std::string("\xff\x01\x00\x00\x00\x00\x02", 7), false},            // checksum
        {std::string("\xa0\x01\x00\x00\x00\x00\xaf\x0f", 8), false},        // checksum
        {std::string("\xff\x01\x00\x00\x00\x00", 6), false},                // short
        {std::string("\xa0\x01\x00\x00\x00\x00\xaf", 7), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EndsInStopFrame(c.bytes.data(), c.bytes.size()), c.stop) << ::testing::PrintToString(c.bytes);
}

} // namespace korvel::command_age_test
