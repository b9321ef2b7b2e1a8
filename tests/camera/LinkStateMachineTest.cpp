// The camera link's states and transitions, driven through a fake transport
// that carries out the actions the way the real one does (a cancelled or
// replaced retry wait ends as aborted on a later turn of the loop).
#include "camera/LinkStateMachine.h"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::link_state_machine_test {

namespace {

class FakeTransport
{
public:
    explicit FakeTransport(LinkStateMachine machine) : machine(std::move(machine)) {}

    // One thing the world does: "start", "resolve <n>" (n endpoints),
    // "resolve-fail", "connect", "connect-fail",
    // "old-connect" (the socket before the newest connects), "old-connect-aborted"
    // (its attempt ends as the newer socket closed it), "old-connect-fail-first-of-two"
    // (its first of two endpoints refused), "expire" (the
    // retry wait), "stale-expire" (an expiry queued before a newer wait
    // began), "run" (completions queued on the loop), "write-fail", "stop",
    // and for serial links "command", "reopen-ok", "reopen-fail",
    // "reopen-settings-fail".
    void Step(const std::string& step)
    {
        std::istringstream words(step);
        std::string what;
        std::size_t count = 0;
        words >> what >> count;
        if (what == "start")
            Perform(machine.Start());
        else if (what == "resolve") {
            resolved = count;
            Perform(machine.ResolveEnded(Outcome::Done, count, ""));
        }
        else if (what == "resolve-fail")
            Perform(machine.ResolveEnded(Outcome::Failed, 0, "Host not found"));
        else if (what == "connect")
            Perform(machine.ConnectEnded(generation, endpoint, endpoints, Outcome::Done, ""));
        else if (what == "connect-fail")
            Perform(machine.ConnectEnded(generation, endpoint, endpoints, Outcome::Failed,
                                         "Connection refused"));
        else if (what == "old-connect")
            Perform(machine.ConnectEnded(generation - 1, 0, 1, Outcome::Done, ""));
        else if (what == "old-connect-aborted")
            Perform(machine.ConnectEnded(generation - 1, 0, 1, Outcome::Aborted,
                                         "Operation canceled"));
        else if (what == "old-connect-fail-first-of-two")
            Perform(machine.ConnectEnded(generation - 1, 0, 2, Outcome::Failed,
                                         "Connection refused"));
        else if (what == "expire") {
            waiting = false;
            Perform(machine.RetryWaitEnded(wait, Outcome::Done));
        } else if (what == "stale-expire")
            Perform(machine.RetryWaitEnded(wait - 1, Outcome::Done));
        else if (what == "run")
            RunQueued();
        else if (what == "write-fail")
            Perform(machine.CommandWriteFailed("Broken pipe"));
        else if (what == "stop")
            Perform(machine.Stop());
        else if (what == "command")
            Perform(machine.CommandWaiting());
        else if (what == "reopen-ok")
            Perform(machine.ReopenEnded(true, ""));
        else if (what == "reopen-fail")
            Perform(machine.ReopenEnded(false, "No such file or directory"));
        else if (what == "reopen-settings-fail")
            Perform(machine.ReopenEnded(true, "Invalid argument"));
        else
            ADD_FAILURE() << "unknown step " << step;
    }

    LinkStateMachine machine;
    std::vector<std::string> trace;

private:
    void Perform(const LinkActions& actions)
    {
        if (!actions.logLine.empty())
            trace.push_back("log: " + actions.logLine);
        if (actions.closeAll) {
            trace.push_back("close all");
            CancelWait();
        }
        if (actions.newSocket) {
            generation = machine.SocketGeneration();
            endpoints = resolved;
            trace.push_back("socket " + std::to_string(generation));
        }
        if (actions.connectTo) {
            endpoint = *actions.connectTo;
            trace.push_back("connect to " + std::to_string(endpoint));
        }
        if (actions.cancelRetryWait)
            CancelWait();
        if (actions.retryWait) {
            CancelWait(); // setting the expiry cancels the wait still pending
            wait = machine.RetryWaitNumber();
            waiting = true;
            trace.push_back("retry in " + std::to_string(actions.retryWait->count()) + " s");
        }
        if (actions.resolve)
            trace.push_back("resolve");
        if (actions.reopen)
            trace.push_back("reopen");
    }

    void CancelWait()
    {
        if (waiting)
            queued.push_back(wait);
        waiting = false;
    }

    void RunQueued()
    {
        while (!queued.empty()) {
            const std::uint64_t aborted = queued.front();
            queued.pop_front();
            Perform(machine.RetryWaitEnded(aborted, Outcome::Aborted));
        }
    }

    std::uint64_t generation = 0;
    std::size_t resolved = 0;  // endpoints of the resolution that ended last
    std::size_t endpoints = 0; // the current socket's resolution's
    std::size_t endpoint = 0;
    std::uint64_t wait = 0;
    bool waiting = false;
    std::deque<std::uint64_t> queued; // aborted waits, not yet run
};

using Trace = std::vector<std::string>;

const std::string Connecting = "log: Connecting to track camera at cam:4001";
const std::string Refused = "log: *** Connection error for track camera at cam on port 4001: "
                            "Connection refused";
const std::string Aborted = "log: Camera connection retry timer aborted";
const std::string SendFailed = "log: Error sending command to cam: Broken pipe";

} // namespace

TEST(LinkStateMachine, NetworkLinkFollowsItsSocket)
{
    const struct
    {
        const char* name;
        int retryIntervalSecs;
        std::vector<std::string> steps;
        Trace trace;
        LinkState state;
        bool writesCommands;
    } cases[] = {
        {"before the first resolution",
         5,
         {"start"},
         {Connecting, "resolve"},
         LinkState::NoSocket,
         false},
        {"a failed first resolution leaves it without transport for good",
         5,
         {"start", "resolve-fail", "run"},
         {Connecting, "resolve",
          "log: *** Unable to resolve path to camera at cam:4001: Host not found"},
         LinkState::WithoutTransport,
         false},
        {"a resolution with no endpoints changes nothing",
         5,
         {"start", "resolve 0"},
         {Connecting, "resolve"},
         LinkState::NoSocket,
         false},
        {"commands go to a socket still connecting",
         5,
         {"start", "resolve 1"},
         {Connecting, "resolve", "socket 1", "connect to 0"},
         LinkState::Connecting,
         true},
        {"endpoint by endpoint; only the last failure is logged, the retry is at least 1 s",
         0,
         {"start", "resolve 2", "connect-fail", "connect-fail"},
         {Connecting, "resolve", "socket 1", "connect to 0", "connect to 1", Refused,
          "retry in 1 s"},
         LinkState::Waiting,
         true},
        {"the retry resolves again and connects",
         3,
         {"start", "resolve 1", "connect-fail", "expire", "resolve 1", "connect", "run"},
         {Connecting, "resolve", "socket 1", "connect to 0", Refused, "retry in 3 s", "resolve",
          "socket 2", "connect to 0"},
         LinkState::Connected,
         true},
        {"a failed write resolves at once while the retry waits; the connection cancels the "
         "wait, which says so; the connection error was the one line of trouble",
         20,
         {"start", "resolve 1", "connect-fail", "write-fail", "resolve 1", "connect", "run"},
         {Connecting, "resolve", "socket 1", "connect to 0", Refused, "retry in 20 s", "resolve",
          "socket 2", "connect to 0", Aborted},
         LinkState::Connected,
         true},
        {"a new failed connection replaces the pending wait; the expiry queued before is stale",
         20,
         {"start", "resolve 1", "connect-fail", "write-fail", "resolve 1", "connect-fail", "run",
          "stale-expire"},
         {Connecting, "resolve", "socket 1", "connect to 0", Refused, "retry in 20 s", "resolve",
          "socket 2", "connect to 0", "retry in 20 s", Aborted},
         LinkState::Waiting,
         true},
        {"a broken connection: every failed write resolves, even while another resolution is "
         "under way; one line of trouble; a failed resolution keeps the socket",
         5,
         {"start", "resolve 1", "connect", "write-fail", "write-fail", "resolve-fail",
          "write-fail"},
         {Connecting, "resolve", "socket 1", "connect to 0", SendFailed, "resolve", "resolve",
          "log: *** Unable to resolve path to camera at cam:4001: Host not found", "resolve"},
         LinkState::Waiting,
         true},
        {"two failed writes, two resolutions: each replaces the socket; the replaced socket's "
         "aborted attempt sets the retry wait, which the newer one's connection cancels",
         20,
         {"start", "resolve 1", "connect-fail", "write-fail", "write-fail", "resolve 1",
          "resolve 1", "old-connect-aborted", "connect", "run"},
         {Connecting, "resolve", "socket 1", "connect to 0", Refused, "retry in 20 s", "resolve",
          "resolve", "socket 2", "connect to 0", "socket 3", "connect to 0", "retry in 20 s",
          Aborted, Aborted},
         LinkState::Connected,
         true},
        {"a replaced socket's connection leaves the newer one connecting; one that failed on "
         "an endpoint before its last never touches the newer socket",
         5,
         {"start", "resolve 1", "write-fail", "resolve 2", "old-connect",
          "old-connect-fail-first-of-two"},
         {Connecting, "resolve", "socket 1", "connect to 0", SendFailed, "resolve", "socket 2",
          "connect to 0"},
         LinkState::Connecting,
         true},
        {"stopped: everything closes and later completions do nothing",
         5,
         {"start", "resolve 1", "connect-fail", "stop", "run", "resolve 1", "connect", "expire",
          "write-fail"},
         {Connecting, "resolve", "socket 1", "connect to 0", Refused, "retry in 5 s", "close all"},
         LinkState::Stopped,
         false},
    };
    for (const auto& c : cases) {
        FakeTransport link(LinkStateMachine::Network("cam", "4001", c.retryIntervalSecs));
        for (const auto& step : c.steps)
            link.Step(step);
        EXPECT_EQ(link.trace, c.trace) << c.name;
        EXPECT_EQ(link.machine.State(), c.state) << c.name;
        EXPECT_EQ(link.machine.WritesCommands(), c.writesCommands) << c.name;
    }
}

TEST(LinkStateMachine, SerialLinkReopensItsPortAfterAFailedWrite)
{
    const std::string sendFailed = "log: Error sending command to serial port /dev/ttyS9: "
                                   "Broken pipe";
    const std::string openFailed = "log: Error opening serial port /dev/ttyS9: "
                                   "No such file or directory";
    const struct
    {
        const char* name;
        bool opened;
        std::vector<std::string> steps;
        Trace trace;
        LinkState state;
        bool writesCommands;
    } cases[] = {
        {"a device that could not be opened at start takes nothing",
         false,
         {"command"},
         {},
         LinkState::WithoutTransport,
         false},
        {"an open port needs nothing before a command",
         true,
         {"command"},
         {},
         LinkState::Open,
         true},
        {"a failed write reopens the port",
         true,
         {"write-fail", "reopen-ok", "command"},
         {sendFailed, "reopen"},
         LinkState::Open,
         true},
        {"a port a failed reopen left closed is reopened before the next command, every "
         "failure logged; the send failure once",
         true,
         {"write-fail", "reopen-fail", "command", "reopen-fail", "command", "reopen-ok",
          "write-fail", "reopen-ok"},
         {sendFailed, "reopen", openFailed, "reopen", openFailed, "reopen", "reopen"},
         LinkState::Open,
         true},
        {"a refused setting is logged and the port carries on",
         true,
         {"write-fail", "reopen-settings-fail"},
         {sendFailed, "reopen", "log: Error opening serial port /dev/ttyS9: Invalid argument"},
         LinkState::Open,
         true},
        {"stopped",
         true,
         {"stop", "write-fail", "reopen-ok"},
         {"close all"},
         LinkState::Stopped,
         false},
    };
    for (const auto& c : cases) {
        FakeTransport link(LinkStateMachine::Serial("/dev/ttyS9", c.opened));
        for (const auto& step : c.steps)
            link.Step(step);
        EXPECT_EQ(link.trace, c.trace) << c.name;
        EXPECT_EQ(link.machine.State(), c.state) << c.name;
        EXPECT_EQ(link.machine.WritesCommands(), c.writesCommands) << c.name;
    }
}

} // namespace korvel::link_state_machine_test
