// One operator session's rules on simulated time (SessionStateMachine), and
// the registry's own: logging in (LoginDesk) and the cap on sessions
// (SessionCap). What the transport is told to do is written down step by
// step.
#include "client/LineBudget.h"
#include "client/LoginDesk.h"
#include "client/SessionCap.h"
#include "client/SessionStateMachine.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::session_core_test {

namespace {

using namespace std::chrono_literals;
using Trace = std::vector<std::string>;

const TimeSource::TimePoint Start{std::chrono::hours(1000)};

long long Ms(TimeSource::TimePoint time)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time - Start).count();
}

Notification Text(const std::string& text)
{
    return std::make_shared<const std::string>(text);
}

// Steps: "start [login ms]", "receive <text>" (then the registry's answer,
// the next step that starts with "answer": "answer none", "answer reply
// <text>", "answer hold <ms> <name>", "answer pending", "answer login <user>
// <text>"), "came <text>" (the registry's own answer), "full" (a receive
// that fills the buffer), "written", "fails <reason>", "gone" (a receive
// fails), "login-deadline", "answer-deadline", "revoke", "stop", "notice
// <text>", "notice-bytes <n>". The trace: what the transport is told.
class Session
{
public:
    Trace Run(const std::vector<std::string>& steps)
    {
        for (next = 0; next < steps.size();)
            Step(steps);
        return trace;
    }

private:
    void Step(const std::vector<std::string>& steps)
    {
        std::istringstream words(steps[next++]);
        std::string verb;
        words >> verb;
        std::string rest;
        std::getline(words >> std::ws, rest);
        if (verb == "start") {
            std::optional<TimeSource::TimePoint> deadline;
            if (!rest.empty())
                deadline = Start + std::chrono::milliseconds(std::stoll(rest.substr(6)));
            Note(core.Start(101, "10.0.0.9", deadline), steps);
        } else if (verb == "receive") {
            Note(core.Received(rest.data(), rest.size()), steps);
        } else if (verb == "full") {
            const std::string full(SessionStateMachine::BufferSize, 'x');
            Note(core.Received(full.data(), full.size()), steps);
        } else if (verb == "came") {
            SessionAnswer answer;
            answer.kind = SessionAnswer::Kind::Reply;
            answer.text = Text(rest);
            Note(core.AnswerCame(answer), steps);
        } else if (verb == "written") {
            Note(core.Written(), steps);
        } else if (verb == "fails") {
            Note(core.WriteFailed(rest), steps);
        } else if (verb == "gone") {
            Note(core.ReceiveFailed(), steps);
        } else if (verb == "login-deadline") {
            Note(core.DeadlineReached(SessionStateMachine::Deadline::Login), steps);
        } else if (verb == "answer-deadline") {
            Note(core.DeadlineReached(SessionStateMachine::Deadline::Answer), steps);
        } else if (verb == "revoke") {
            Note(core.Revoked(), steps);
        } else if (verb == "stop") {
            Note(core.Stopped(), steps);
        } else if (verb == "notice") {
            Note(core.Notice(Text(rest)), steps);
        } else if (verb == "notice-bytes") {
            Note(core.Notice(Text(std::string(std::stoul(rest), 'n'))), steps);
        } else {
            ADD_FAILURE() << "unknown step " << steps[next - 1];
        }
    }

    SessionAnswer Answer(const std::vector<std::string>& steps)
    {
        SessionAnswer answer;
        if (next >= steps.size() || steps[next].rfind("answer ", 0) != 0)
            return answer; // no answer given: none
        std::istringstream words(steps[next++].substr(7));
        std::string kind;
        words >> kind;
        if (kind == "reply" || kind == "login") {
            if (kind == "login") {
                std::string user;
                words >> user;
                answer.loggedInAs = user;
            }
            std::string text;
            words >> text;
            answer.kind = SessionAnswer::Kind::Reply;
            answer.text = Text(text);
        } else if (kind == "hold") {
            long long ms = 0;
            words >> ms >> answer.name;
            answer.kind = SessionAnswer::Kind::HoldBack;
            answer.due = Start + std::chrono::milliseconds(ms);
        } else if (kind == "pending") {
            answer.kind = SessionAnswer::Kind::HoldBack;
        }
        return answer;
    }

    void Note(const SessionActions& actions, const std::vector<std::string>& steps)
    {
        if (!actions.logLine.empty())
            trace.push_back("log " + actions.logLine);
        if (actions.end)
            trace.push_back("end");
        if (actions.cancelLoginDeadline)
            trace.push_back("cancel login");
        if (actions.cancelAnswerDeadline)
            trace.push_back("cancel answer");
        if (actions.loginDeadline)
            trace.push_back("arm login " + std::to_string(Ms(*actions.loginDeadline)));
        if (actions.answerDeadline)
            trace.push_back("arm answer " + std::to_string(Ms(*actions.answerDeadline)));
        if (actions.write)
            trace.push_back("write " + core.Front() + (actions.atOnce ? " at once" : ""));
        if (actions.report) {
            const SessionReport& report = *actions.report;
            trace.push_back(report.kind == SessionReport::Kind::Message
                                ? "report " + std::string(report.bytes, report.count).substr(0, 20)
                                : "report due " + report.name);
            Note(core.Answered(Answer(steps)), steps);
        }
        static const char* const receives[] = {nullptr, "receive now", "receive when readable",
                                               "receive later"};
        if (actions.receive != SessionActions::Receive::None)
            trace.push_back(receives[static_cast<int>(actions.receive)]);
    }

    SessionStateMachine core;
    std::size_t next = 0;
    Trace trace;
};

const std::string Lost = "log Lost session with KorvelControl user  at 10.0.0.9";

} // namespace

TEST(SessionCore, ReadsAndWritesInTheOrderOfTheMessages)
{
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"greeted, then read; an unanswered message reads on once readable",
         {"start", "written", "receive CHOOSE"},
         {"write SESSION 101", "receive now", "report CHOOSE", "receive when readable"}},
        {"a full buffer is read again after the other sessions",
         {"start", "written", "full"},
         {"write SESSION 101", "receive now", "report xxxxxxxxxxxxxxxxxxxx", "receive later"}},
        {"a reply is written after what is queued; nothing is read until it is",
         {"start", "notice #1", "written", "receive LOGIN a", "answer reply OK", "notice #2",
          "written", "written", "written"},
         {"write SESSION 101", "write #1", "receive now", "report LOGIN a", "write OK",
          "write #2", "receive now"}},
        {"a notice on an idle connection is offered at once, one after it waits its turn",
         {"start", "written", "notice #1", "notice #2", "written", "written"},
         {"write SESSION 101", "receive now", "write #1 at once", "write #2"}},
        {"a failed notice drops those queued and to come, not the reply",
         {"start", "written", "notice #1", "notice #2", "receive LOGIN a", "answer reply OK",
          "fails Broken pipe", "notice #3", "written"},
         {"write SESSION 101", "receive now", "write #1 at once", "report LOGIN a",
          "log Error sending data to client at 10.0.0.9: Broken pipe", "write OK",
          "receive now"}},
        {"a reply that cannot be written ends the session",
         {"start", "fails Connection reset by peer", "notice #1", "written"},
         {"write SESSION 101", Lost, "end"}},
        {"more than a megabyte of notices ends the session; what comes after is ignored",
         {"start", "written", "notice-bytes 1048000", "notice-bytes 577", "notice #1", "gone"},
         {"write SESSION 101", "receive now",
          "write " + std::string(1048000, 'n') + " at once", Lost, "end"}},
        {"a client that closes logs nothing",
         {"start", "written", "gone", "revoke"},
         {"write SESSION 101", "receive now", "end"}},
        {"a revoked session's line names its user",
         {"start", "written", "receive LOGIN a", "answer login alice OK", "written", "revoke"},
         {"write SESSION 101", "receive now", "report LOGIN a", "write OK", "receive now",
          "log Lost session with KorvelControl user alice at 10.0.0.9", "end"}},
        {"the service's stop ends it without a line",
         {"start", "stop", "written"},
         {"write SESSION 101", "end"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Session().Run(c.steps), c.trace) << c.name;
}

TEST(SessionCore, LoginDeadlineAndHeldBackAnswers)
{
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"a session that has not logged in by its deadline ends as lost",
         {"start login 30000", "written", "login-deadline"},
         {"arm login 30000", "write SESSION 101", "receive now", Lost, "end"}},
        {"a LOGIN that passes ends the deadline",
         {"start login 30000", "written", "receive LOGIN a", "answer login alice OK",
          "login-deadline"},
         {"arm login 30000", "write SESSION 101", "receive now", "report LOGIN a",
          "cancel login", "write OK"}},
        {"a held-back answer: one more message is read meanwhile, and handled after it",
         {"start", "written", "receive LOGIN a x", "answer hold 1000 a", "receive LOGIN a y",
          "answer-deadline", "answer reply FAILURE", "written", "answer reply OK", "written"},
         {"write SESSION 101", "receive now", "report LOGIN a x", "arm answer 1000",
          "receive when readable", "report due a", "write FAILURE", "report LOGIN a y",
          "write OK", "receive now"}},
        {"the receive started while an answer was held back carries on after it: never two",
         {"start", "written", "receive LOGIN a x", "answer hold 1000 a", "answer-deadline",
          "answer reply FAILURE", "written", "receive LOGIN a y", "answer reply OK", "written"},
         {"write SESSION 101", "receive now", "report LOGIN a x", "arm answer 1000",
          "receive when readable", "report due a", "write FAILURE", "report LOGIN a y",
          "write OK", "receive now"}},
        {"a client that goes while its answer is held back is let go unanswered",
         {"start", "written", "receive LOGIN a x", "answer hold 1000 a", "gone",
          "answer-deadline"},
         {"write SESSION 101", "receive now", "report LOGIN a x", "arm answer 1000",
          "receive when readable", "end"}},
        {"an answer held back without a deadline comes when the registry gives it",
         {"start", "written", "receive LOGIN a x", "answer pending", "came FAILURE", "came OK",
          "written"},
         {"write SESSION 101", "receive now", "report LOGIN a x", "receive when readable",
          "cancel answer", "write FAILURE"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Session().Run(c.steps), c.trace) << c.name;
}

TEST(LoginDesk, PasswordsThrottleAndTheRequireLoginGate)
{
    const UserTable users = {{"guard", {"guard", "pw", 2}}, {"chief", {"chief", "", 9}}};
    SessionPolicy policy;
    policy.requireLogin = true;
    policy.loginTimeout = 30s;
    LoginDesk desk(users, policy);
    OperatorConnection from;
    from.number = 4242;
    from.clientAddress = "10.0.0.5";
    from.loginRequired = true;

    EXPECT_EQ(Ms(*desk.LoginDeadline(Start)), 30000);
    const LoginDesk::Gate gate = desk.Admits(from);
    EXPECT_TRUE(gate.ignored);
    EXPECT_EQ(gate.logLine,
              "Ignoring commands from session 4242 at 10.0.0.5 until it logs in");
    from.ignoredCommandLogged = true;
    EXPECT_EQ(desk.Admits(from).logLine, "") << "once per connection";

    const struct
    {
        const char* name;
        const char* password;
        LoginDesk::Verdict::Kind kind;
        bool known;
        const char* line;
    } logins[] = {
        {"guard", "pw", LoginDesk::Verdict::Kind::Passed, true,
         "Login from 10.0.0.5 by user guard with priority 2"},
        {"chief", "anything", LoginDesk::Verdict::Kind::Passed, true,
         "Login from 10.0.0.5 by user chief with priority 9"},
        {"guard", "wrong", LoginDesk::Verdict::Kind::Refused, true,
         "Failed login from 10.0.0.5 by user guard"},
        {"gu\x01rd", "pw", LoginDesk::Verdict::Kind::Refused, false,
         "Failed login from 10.0.0.5 by user gu\\x01rd"},
    };
    for (const auto& login : logins) {
        SCOPED_TRACE(login.name);
        const LoginDesk::Verdict verdict = desk.Login(from, login.name, login.password, Start);
        EXPECT_EQ(verdict.kind, login.kind);
        EXPECT_EQ(verdict.knownName, login.known);
        EXPECT_EQ(verdict.logLine, login.line);
    }

    // Four more failures for guard make five: the sixth is held back, and
    // said when due. The name no user has counted apart, for the address.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(desk.Login(from, "guard", "x", Start).kind, LoginDesk::Verdict::Kind::Refused);
    const LoginDesk::Verdict held = desk.Login(from, "guard", "x", Start + 1s);
    EXPECT_EQ(held.kind, LoginDesk::Verdict::Kind::HeldBack);
    EXPECT_EQ(Ms(*held.due), 2000);
    EXPECT_EQ(held.logLine, "");
    EXPECT_EQ(desk.Refused(from, "guard").logLine, "Failed login from 10.0.0.5 by user guard");
    EXPECT_EQ(desk.Login(from, "nobody", "x", Start + 1s).kind, LoginDesk::Verdict::Kind::Refused)
        << "the second failure for a name no user has";
    // Logging in as another user (one without a password, here) starts only
    // that user's count afresh; logging in as guard starts guard's.
    EXPECT_EQ(desk.Login(from, "chief", "", Start + 1s).kind, LoginDesk::Verdict::Kind::Passed);
    EXPECT_EQ(desk.Login(from, "guard", "x", Start + 1s).kind, LoginDesk::Verdict::Kind::HeldBack);
    EXPECT_EQ(desk.Login(from, "guard", "pw", Start + 1s).kind, LoginDesk::Verdict::Kind::Passed);
    EXPECT_EQ(desk.Login(from, "guard", "x", Start + 1s).kind, LoginDesk::Verdict::Kind::Refused);

    // Without the throttle every FAILURE goes at once; without RequireLogin
    // nothing is ignored and nobody has a deadline.
    policy.throttleLogins = false;
    policy.requireLogin = false;
    desk.SetPolicy(policy);
    EXPECT_EQ(desk.Login(from, "guard", "x", Start + 2s).kind, LoginDesk::Verdict::Kind::Refused);
    EXPECT_FALSE(desk.LoginDeadline(Start));
    from.loginRequired = false;
    EXPECT_FALSE(desk.Admits(from).ignored);
}

TEST(SessionCap, RefusalEpisodesAndTheDescriptorLimit)
{
    SessionCap cap(1000);
    EXPECT_EQ(cap.Configure(1000, 0, 70), "") << "an unknown limit caps nothing";
    EXPECT_EQ(cap.Configure(1000, 4096, 70), "");
    EXPECT_EQ(cap.Configure(1000, 1024, 70),
              "MaxSessions=1000 needs more descriptors than the limit of 1024 leaves; "
              "accepting at most 954 operator sessions");
    EXPECT_EQ(cap.Max(), 954u);

    cap.Configure(10, 0, 0);
    EXPECT_TRUE(cap.Arrived(9, "10.0.0.1").admitted);
    const SessionCap::Arrival first = cap.Arrived(10, "10.0.0.1");
    EXPECT_FALSE(first.admitted) << "nobody waiting: every place is a logged-in session's";
    EXPECT_EQ(first.logLine, "Too many KorvelControl sessions (10): closing new connections at "
                             "once, the first from 10.0.0.1");
    EXPECT_EQ(cap.Arrived(10, "10.0.0.2").logLine, "") << "one line an episode";
    EXPECT_EQ(cap.Left(3, 9), "") << "the episode lasts until a tenth below the cap";
    EXPECT_EQ(cap.Left(4, 8),
              "Accepting KorvelControl connections again; 2 closed while there were too many "
              "sessions");
    EXPECT_EQ(cap.Left(5, 7), "");
}

namespace {

// Steps over a cap of 4: "join <name> <address> <ms>" (a connection
// arrives; once admitted it waits to log in, idle since then), "speak
// <name> <ms>", "login <name>", "leave <name>", "turn" (the connections
// closed to make room report their end). The trace: who is admitted in
// whose place or refused, and the lines.
class Places
{
public:
    Trace Run(const std::vector<std::string>& steps)
    {
        for (const std::string& step : steps) {
            std::istringstream words(step);
            std::string verb, name, address;
            long long ms = 0;
            words >> verb >> name;
            if (verb == "join") {
                words >> address >> ms;
                Join(name, address, ms);
            } else if (verb == "speak") {
                words >> ms;
                cap.Waiting(ids.at(name), addresses.at(name),
                            Start + std::chrono::milliseconds(ms));
            } else if (verb == "login") {
                cap.Served(ids.at(name));
            } else if (verb == "leave") {
                Leave(ids.at(name));
            } else if (verb == "turn") {
                for (const ConnectionId id : closing)
                    Leave(id);
                closing.clear();
            } else {
                ADD_FAILURE() << "unknown step " << step;
            }
        }
        return trace;
    }

private:
    void Join(const std::string& name, const std::string& address, long long ms)
    {
        const SessionCap::Arrival arrival = cap.Arrived(live.size(), address);
        if (!arrival.logLine.empty())
            trace.push_back("log " + arrival.logLine);
        if (!arrival.admitted) {
            trace.push_back(name + " refused");
            return;
        }
        ConnectionId id = 0;
        while (live.count(id))
            ++id;
        live[id] = name;
        ids[name] = id;
        addresses[name] = address;
        cap.Waiting(id, address, Start + std::chrono::milliseconds(ms));
        if (arrival.evict == NoConnection) {
            trace.push_back(name + " admitted");
        } else {
            trace.push_back(name + " in place of " + live.at(arrival.evict));
            closing.push_back(arrival.evict);
        }
    }

    void Leave(ConnectionId id)
    {
        live.erase(id);
        const std::string line = cap.Left(id, live.size());
        if (!line.empty())
            trace.push_back("log " + line);
    }

    SessionCap cap{4};
    std::map<ConnectionId, std::string> live;
    std::map<std::string, ConnectionId> ids;
    std::map<std::string, std::string> addresses;
    std::vector<ConnectionId> closing;
    Trace trace;
};

const std::vector<std::string> FourAdmitted = {"a1 admitted", "a2 admitted", "b1 admitted",
                                               "w admitted"};

Trace Full(const std::string& address, std::vector<std::string> rest)
{
    Trace trace = FourAdmitted;
    trace.push_back("log Too many KorvelControl sessions (4): closing new connections at once, "
                    "the first from " +
                    address);
    trace.insert(trace.end(), rest.begin(), rest.end());
    return trace;
}

} // namespace

TEST(SessionCap, ANewcomerTakesThePlaceOfAConnectionThatHasNotLoggedIn)
{
    using Steps = std::vector<std::string>;
    const Steps four = {"join a1 10.0.0.3 10", "join a2 10.0.0.3 20", "join b1 10.0.0.4 0",
                        "join w 10.0.0.1 5"};
    const auto then = [&four](Steps more) {
        Steps steps = four;
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"the idlest of the address holding the most gives way, not the idlest of all",
         then({"login w", "join n 10.0.0.5 30"}), Full("10.0.0.5", {"n in place of a1"})},
        {"a message makes a connection idle afresh",
         then({"login w", "speak a1 25", "join n 10.0.0.5 30"}),
         Full("10.0.0.5", {"n in place of a2"})},
        {"between addresses holding as many, the idlest of them",
         then({"login a1", "join n 10.0.0.5 30"}), Full("10.0.0.5", {"n in place of b1"})},
        {"a newcomer from the fullest address takes its own address's place",
         then({"login w", "join n 10.0.0.3 30", "join m 10.0.0.3 40"}),
         Full("10.0.0.3", {"n in place of a1", "m in place of a2"})},
        {"a logged-in session never gives way: with all logged in, the newcomer is refused",
         then({"login a1", "login a2", "login b1", "login w", "join n 10.0.0.5 30"}),
         Full("10.0.0.5", {"n refused"})},
        {"one closing for a newcomer neither counts nor gives way twice before it has gone",
         then({"login w", "join n 10.0.0.5 30", "join m 10.0.0.5 31", "join o 10.0.0.5 32", "turn",
               "join p 10.0.0.6 40"}),
         Full("10.0.0.5",
              {"n in place of a1", "m in place of b1", "o in place of n", "p in place of m"})},
        {"those closed for newcomers count in the episode's end",
         then({"login w", "join n 10.0.0.5 30", "turn", "leave a2", "leave b1"}),
         Full("10.0.0.5", {"n in place of a1",
                           "log Accepting KorvelControl connections again; 1 closed while there "
                           "were too many sessions"})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Places().Run(c.steps), c.trace) << c.name;
}

// Lines of one kind from one client address: ten a minute, then one with the
// note, then none until the minute since the first has passed.
TEST(LineBudget, TenLinesAMinuteFromAnAddressThenOneWithTheNote)
{
    const struct
    {
        const char* name;
        std::vector<std::pair<const char*, long long>> lines; // address, ms
        std::string verdicts; // L logged, N with the note, S skipped
    } cases[] = {
        {"ten logged, the eleventh with the note, then none",
         std::vector<std::pair<const char*, long long>>(13, {"10.0.0.3", 0}), "LLLLLLLLLLNSS"},
        {"addresses apart", {{"a", 0}, {"a", 0}, {"b", 0}}, "LLL"},
        {"a minute after the first, a new window",
         {{"a", 0}, {"a", 1000}, {"a", 59999}, {"a", 60000}},
         "LLLL"},
    };
    for (const auto& c : cases) {
        LineBudget budget;
        std::string verdicts;
        for (const auto& [address, ms] : c.lines)
            verdicts += "LNS"[static_cast<int>(
                budget.Take(address, Start + std::chrono::milliseconds(ms)))];
        EXPECT_EQ(verdicts, c.verdicts) << c.name;
    }

    LineBudget budget;
    EXPECT_EQ(LineBudget::WithNote("Unknown Pelco camera ID 9", "10.0.0.3"),
              "Unknown Pelco camera ID 9; further lines of this kind from 10.0.0.3 not logged "
              "until a minute has passed");
    for (std::size_t i = 0; i < LineBudget::MaxAddresses + 10; ++i)
        budget.Take("10.1." + std::to_string(i), Start + 61s);
    EXPECT_EQ(budget.Tracked(), LineBudget::MaxAddresses) << "memory stays bounded";
}

} // namespace korvel::session_core_test
