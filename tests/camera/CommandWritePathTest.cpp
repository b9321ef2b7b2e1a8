// A network camera's write path and link on simulated sockets: a fake
// resolver, fake sockets and a fake loop carry out what the two cores decide,
// the way the camera's I/O code does (a write the socket takes at once, or
// that fails at once, still ends through the loop; closing a socket ends its
// write in flight as aborted, on a later turn).
#include "camera/CommandWritePath.h"
#include "camera/LinkStateMachine.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::command_write_path_test {

namespace {

using TransportId = CommandWritePath::TransportId;

class SimulatedCamera
{
public:
    // With the default bound on the age, which never bites here: time does
    // not move.
    explicit SimulatedCamera(std::size_t queueBytes)
        : path(queueBytes, LineLimits{std::chrono::seconds(1), 0})
    {}

    // One thing the world does:
    //   "start"                      the camera is made
    //   "resolved" / "unresolved"    the oldest resolution under way ends
    //   "connected" / "refused"      the newest socket's attempt ends
    //   "expire"                     the retry wait ends
    //   "takes" / "full" / "dead"    what the newest socket does with a write
    //                                from now on: takes it whole, takes nothing
    //                                yet, fails it
    //   "drain" / "break"            the write in flight on the newest socket
    //                                completes / fails (and the socket takes /
    //                                fails what follows)
    //   "send NAME SESSION [BYTES]"  an operator's command
    //   "run"                        the loop runs what is queued on it
    void Step(const std::string& step)
    {
        std::istringstream words(step);
        std::string what;
        words >> what;
        if (what == "start") {
            Perform(link.Start());
            trace.erase(trace.begin()); // "Connecting to track camera at cam:4001"
        } else if (what == "resolved" || what == "unresolved") {
            ASSERT_GT(resolutions, 0) << step;
            --resolutions;
            Perform(what == "resolved" ? link.ResolveEnded(Outcome::Done, 1, "")
                                       : link.ResolveEnded(Outcome::Failed, 0, "Host not found"));
        } else if (what == "connected" || what == "refused") {
            Perform(link.ConnectEnded(link.SocketGeneration(), 0, 1,
                                      what == "connected" ? Outcome::Done : Outcome::Failed,
                                      "Connection refused"));
            if (what == "refused")
                sockets[newest] = Mode::Dead;
        } else if (what == "expire") {
            Perform(link.RetryWaitEnded(link.RetryWaitNumber(), Outcome::Done));
        } else if (what == "takes" || what == "full" || what == "dead") {
            sockets[newest] = what == "takes" ? Mode::Takes : what == "full" ? Mode::Full : Mode::Dead;
        } else if (what == "drain" || what == "break") {
            const bool drained = what == "drain";
            sockets[newest] = drained ? Mode::Takes : Mode::Dead;
            EndAsyncWrite(newest, drained ? Outcome::Done : Outcome::Failed);
        } else if (what == "send") {
            std::string name;
            unsigned session = 0;
            std::size_t size = 0;
            words >> name >> session >> size;
            Send(name, static_cast<std::uint16_t>(session), size);
        } else if (what == "run") {
            while (!loop.empty()) {
                auto next = std::move(loop.front());
                loop.pop_front();
                next();
            }
        } else {
            ADD_FAILURE() << "unknown step " << step;
        }
    }

    std::vector<std::string> trace;

private:
    enum class Mode
    {
        Takes,
        Full,
        Dead
    };

    // TrackCamera::SendCommand
    void Send(const std::string& name, std::uint16_t session, std::size_t size)
    {
        names[session] = name;
        const std::string bytes = size ? std::string(size, 'x') : name;
        FollowTransport();
        const auto routing = path.Send(now, session, 0, bytes.data(), bytes.size());
        switch (routing.route) {
        case CommandWritePath::Route::Drop:
            trace.push_back(name + " dropped");
            return;
        case CommandWritePath::Route::Overflow:
            if (routing.overflowBegins)
                trace.push_back("log: queue full");
            trace.push_back(name + " dropped");
            return;
        case CommandWritePath::Route::Queued:
            return;
        case CommandWritePath::Route::WriteNow:
            Write(session, bytes);
            return;
        }
    }

    // TrackCamera::Write: at once, and through the loop only what the socket
    // cannot take now.
    void Write(std::uint16_t session, const std::string& bytes)
    {
        const TransportId transport = path.Transport();
        const Mode mode = sockets[transport];
        if (mode == Mode::Full) {
            path.WriteInFlight(CameraCommand{session, 0, {bytes.begin(), bytes.end()}});
            return;
        }
        if (mode == Mode::Takes)
            trace.push_back(names[session] + " on socket " + std::to_string(transport));
        const CommandOutcome outcome =
            mode == Mode::Takes ? CommandOutcome::Written : CommandOutcome::Failed;
        loop.push_back([this, outcome, session] { Ended(outcome, session); });
    }

    void EndAsyncWrite(TransportId transport, Outcome outcome)
    {
        loop.push_back([this, transport, outcome] {
            const auto ended = path.InFlightEnded(transport, outcome);
            if (ended.outcome == CommandOutcome::Written)
                trace.push_back(names[ended.sessionId] + " on socket " +
                                std::to_string(transport));
            Ended(ended.outcome, ended.sessionId);
            FollowTransport();
            while (auto next = path.TakeNext(now).command)
                Write(next->sessionId, std::string(next->bytes.begin(), next->bytes.end()));
        });
    }

    void Ended(CommandOutcome outcome, std::uint16_t session)
    {
        switch (outcome) {
        case CommandOutcome::Written:
            trace.push_back("hold " + names[session]);
            return;
        case CommandOutcome::Dropped:
            trace.push_back(names[session] + " dropped");
            return;
        case CommandOutcome::Failed:
            trace.push_back(names[session] + " failed");
            Perform(link.CommandWriteFailed("Broken pipe"));
            return;
        }
    }

    void FollowTransport()
    {
        const TransportId transport = link.WritesCommands() ? newest : CommandWritePath::NoTransport;
        for (std::size_t dropped = path.UseTransport(transport); dropped > 0; --dropped)
            trace.push_back("dropped from the old socket");
    }

    // NetworkLink::Perform
    void Perform(const LinkActions& actions)
    {
        if (!actions.logLine.empty())
            trace.push_back("log: " + actions.logLine);
        if (actions.newSocket) {
            // The old socket closes: its write in flight ends as aborted.
            if (path.Busy())
                EndAsyncWrite(newest, Outcome::Aborted);
            ++newest;
            sockets[newest] = Mode::Full; // a connection still being made
            trace.push_back("socket " + std::to_string(newest));
        }
        if (actions.retryWait)
            trace.push_back("retry wait");
        if (actions.resolve) {
            ++resolutions;
            trace.push_back("resolve");
        }
    }

    LinkStateMachine link = LinkStateMachine::Network("cam", "4001", 20);
    const TimeSource::TimePoint now = TimeSource::TimePoint(std::chrono::hours(1));
    CommandWritePath path;
    int resolutions = 0;
    TransportId newest = 0;
    std::map<TransportId, Mode> sockets;
    std::map<std::uint16_t, std::string> names;
    std::deque<std::function<void()>> loop;
};

const std::string SendFailed = "log: Error sending command to cam: Broken pipe";
const std::string Unresolved = "log: *** Unable to resolve path to camera at cam:4001: Host not found";

} // namespace

TEST(CommandWritePath, EachCommandBelongsToTheSocketItWasSentTo)
{
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        std::vector<std::string> trace;
    } cases[] = {
        {"no socket yet: dropped, nothing else",
         {"start", "send A 1", "run"},
         {"resolve", "A dropped"}},
        {"written while connecting: goes out once connected, then the hold",
         {"start", "resolved", "send A 1", "send B 2", "run", "connected", "drain", "run"},
         {"resolve", "socket 1", "A on socket 1", "hold A", "B on socket 1", "hold B"}},
        {"two commands in one turn: both written, the hold goes to the one completed last",
         {"start", "resolved", "connected", "takes", "send A 1", "send B 2", "run"},
         {"resolve", "socket 1", "A on socket 1", "B on socket 1", "hold A", "hold B"}},
        {"fail, replace, complete: what waits for the replaced socket is dropped quietly, its "
         "write in flight ends aborted, and nothing carries over to the new socket",
         {"start", "resolved", "refused", "send X 1", "run", "resolved", "send A 2", "send B 3",
          "expire", "resolved", "connected", "takes", "send C 4", "run"},
         {"resolve", "socket 1", "log: *** Connection error for track camera at cam on port "
                                 "4001: Connection refused",
          "retry wait", "X failed", "resolve", "socket 2", "resolve", "socket 3",
          "dropped from the old socket", "C on socket 3", "A dropped", "hold C"}},
        {"a write to a socket whose connection broke fails at once; two failures in one turn "
         "start two resolutions, and only the first failure is logged",
         {"start", "resolved", "connected", "dead", "send A 1", "send B 2", "run"},
         {"resolve", "socket 1", "A failed", SendFailed, "resolve", "B failed", "resolve"}},
        {"a write in flight that fails takes the next command with it, each failure resolving",
         {"start", "resolved", "connected", "full", "send A 1", "send B 2", "break", "run", "run"},
         {"resolve", "socket 1", "A failed", SendFailed, "resolve", "B failed", "resolve"}},
        {"after a failed lookup the socket stays: the next write on it fails at once and looks "
         "the camera up again; once the name resolves, the camera is back",
         {"start", "resolved", "connected", "dead", "send A 1", "run", "unresolved", "send B 2",
          "run", "unresolved", "send C 3", "run", "resolved", "connected", "takes", "send D 4",
          "run"},
         {"resolve", "socket 1", "A failed", SendFailed, "resolve", Unresolved, "B failed",
          "resolve", Unresolved, "C failed", "resolve", "socket 2", "D on socket 2", "hold D"}},
        {"a failed first lookup: no socket, for good",
         {"start", "unresolved", "send A 1", "run"},
         {"resolve", Unresolved, "A dropped"}},
    };
    for (const auto& c : cases) {
        SimulatedCamera camera(1 << 20);
        for (const auto& step : c.steps)
            camera.Step(step);
        EXPECT_EQ(camera.trace, c.trace) << c.name;
    }
}

TEST(CommandWritePath, QueueHoldsItsBoundAndLogsOncePerOverflow)
{
    SimulatedCamera camera(1000);
    // A is in flight and not counted; B and E fill the bound exactly.
    for (const char* step : {"start", "resolved", "connected", "full", "send A 1 400",
                             "send B 2 600", "send C 3 600", "send D 4 500", "send E 5 400"})
        camera.Step(step);
    EXPECT_EQ(camera.trace, (std::vector<std::string>{"resolve", "socket 1", "log: queue full",
                                                      "C dropped", "D dropped"}));
    camera.trace.clear();
    // Once the queue has drained, the next overflow is logged again.
    for (const char* step :
         {"drain", "run", "full", "send F 6 600", "send G 7 600", "send H 8 600"})
        camera.Step(step);
    EXPECT_EQ(camera.trace, (std::vector<std::string>{"A on socket 1", "hold A", "B on socket 1",
                                                      "E on socket 1", "hold B", "hold E",
                                                      "log: queue full", "H dropped"}));
}

} // namespace korvel::command_write_path_test
