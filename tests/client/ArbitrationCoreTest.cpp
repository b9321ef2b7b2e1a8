// The arbitration's rules on fake time: holds and lapses, the priority test,
// choose mode, and who is told what.
#include "client/Arbitration.h"
#include "client/OperatorProtocol.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::arbitration_core_test {

namespace {

using namespace std::chrono_literals;
using Clock = Arbitration::Clock;
using Trace = std::vector<std::string>;

Clock::time_point At(long long milliseconds)
{
    return Clock::time_point(std::chrono::milliseconds(milliseconds));
}

// gate (Pelco 4, LockTime 2 s), high (Pelco 300: no command reaches it),
// yard (Pelco 200, LockTime 0), in table order.
std::vector<Arbitration::Camera> Cameras()
{
    return {{"gate", 4, 2000ms}, {"high", 300, 1000ms}, {"yard", 200, 0ms}};
}

// Runs steps against the core and writes down what it decides: notices as
// "<connection>: <text>", commands as "<connection> <verdict> [camera]",
// holds as "<camera> held by <session> (<priority>) until <ms>".
class Desk
{
public:
    Trace Run(const std::vector<std::string>& steps)
    {
        for (const auto& step : steps)
            Step(step);
        return trace;
    }

private:
    // "connect A 101" (started without RequireLogin; "connect-required A
    // 101": with it), "login A alice", "leave A", "choose A", "cancel A",
    // "send A <pelco> <priority>", "trigger <camera>", "name <camera> <name>",
    // "deliver <camera> <session> <priority> <ms>" (a write completed for a
    // session number), "delivered <camera> A <priority> <ms>" (for A's
    // command), "expire <ms>"; a reload's "add <camera> <pelco> <lock ms>",
    // "remove <camera>", "locktime <ms>", "revoke A".
    void Step(const std::string& step)
    {
        std::istringstream words(step);
        std::string verb, who;
        words >> verb >> who;
        if (verb == "connect" || verb == "connect-required") {
            int number = 0;
            words >> number;
            const auto id = table.Add(static_cast<Arbitration::SessionNumber>(number), "127.0.0.1",
                                      verb == "connect-required", nullptr);
            ids[who] = id;
            names[id] = who;
            keys[who] = table[id].Key(); // also once it has gone
        } else if (verb == "login") {
            std::string user;
            words >> user;
            table.LogIn(ids.at(who), user, 0);
        } else if (verb == "leave") {
            table.Remove(ids.at(who));
        } else if (verb == "choose") {
            core.Choose(table[ids.at(who)].Key());
        } else if (verb == "cancel") {
            core.Cancel(table[ids.at(who)].Key());
        } else if (verb == "send") {
            unsigned pelco = 0;
            int priority = 0;
            words >> pelco >> priority;
            const auto decision = core.Command(ids.at(who), priority, pelco);
            if (decision.selection)
                Note(*decision.selection);
            static const char* const verdicts[] = {"unknown camera", "refused", "nothing to steer",
                                                   "forward"};
            std::string line = who + " " + verdicts[static_cast<int>(decision.verdict)];
            if (decision.camera != Arbitration::NoCamera)
                line += " " + core.Address(decision.camera);
            trace.push_back(line);
        } else if (verb == "trigger") {
            if (const auto selection = core.Select(core.CameraByAddress(who), false))
                Note(*selection);
        } else if (verb == "name") {
            std::string name;
            std::getline(words >> std::ws, name);
            core.SetNvrName(core.CameraByAddress(who), name);
        } else if (verb == "deliver" || verb == "delivered") {
            std::string sender;
            int priority = 0;
            long long ms = 0;
            words >> sender >> priority >> ms;
            const Arbitration::SessionKey key =
                verb == "deliver" ? std::stoull(sender) : keys.at(sender);
            const auto camera = core.CameraByAddress(who);
            Note(core.CommandDelivered(camera, key, priority, At(ms)).notices);
            trace.push_back(who + " held by " + HolderText(camera) + " (" +
                            std::to_string(core.HolderPriority(camera)) + ") until " +
                            std::to_string(Milliseconds(core.HoldDeadline(camera))));
        } else if (verb == "expire") {
            const long long ms = std::stoll(who);
            for (const auto& release : core.HoldDeadlinePassed(At(ms)))
                Note(release.notices);
            const auto next = core.NextHoldDeadline();
            trace.push_back("next " + (next ? std::to_string(Milliseconds(*next)) : "none"));
        } else if (verb == "add") {
            unsigned pelco = 0;
            long long lockMs = 0;
            words >> pelco >> lockMs;
            const auto index = core.AddCamera({who, pelco, std::chrono::milliseconds(lockMs)});
            trace.push_back("added " + who + " at " + std::to_string(index));
        } else if (verb == "remove") {
            const auto removal = core.RemoveCamera(core.CameraByAddress(who));
            for (const auto connection : removal.told)
                trace.push_back(names.at(connection) + ": " + **removal.notice);
            trace.push_back("removed " + who +
                            (removal.holder ? " held by " + std::to_string(removal.holder) : ""));
        } else if (verb == "locktime") {
            core.SetLockTime(std::chrono::milliseconds(std::stoll(who)));
        } else if (verb == "revoke") {
            const auto released = core.Revoke(ids.at(who));
            for (const auto& release : released)
                Note(release.notices);
            trace.push_back("revoked " + who + ": " + std::to_string(released.size()) + " held");
        } else if (verb == "reserve") {
            // "reserve <camera> <user, or - for nobody> <supervisor> <until ms>"
            std::string user, by;
            long long until = 0;
            words >> user >> by >> until;
            const auto camera = core.CameraByAddress(who);
            std::optional<std::string> forUser;
            if (user != "-")
                forUser = user;
            const auto reserved = core.Reserve(camera, {forUser, by, At(until)});
            if (reserved.conflict) {
                trace.push_back("conflict: " + reserved.reason);
                return;
            }
            if (reserved.ended)
                trace.push_back(who + " hold of " + std::to_string(reserved.ended->holder) +
                                " ended");
            Note(reserved.notices);
        } else if (verb == "unreserve") {
            const auto unreserved = core.Unreserve(core.CameraByAddress(who));
            trace.push_back(unreserved ? "unreserved " + who : "no reservation");
            if (unreserved && unreserved->notices)
                Note(*unreserved->notices);
        } else if (verb == "release") {
            const auto freed = core.ReleaseCamera(core.CameraByAddress(who));
            trace.push_back("released " + who + (freed.hold ? " (held)" : "") +
                            (freed.reservation ? " (reserved)" : ""));
            Note(freed.notices);
        } else if (verb == "reservations-expire") {
            for (const auto& unreserved : core.ReservationDeadlinePassed(At(std::stoll(who)))) {
                trace.push_back("lapsed " + core.Address(unreserved.camera));
                if (unreserved.notices)
                    Note(*unreserved.notices);
            }
            const auto next = core.NextReservationDeadline();
            trace.push_back("next reservation " +
                            (next ? std::to_string(Milliseconds(*next)) : "none"));
        } else {
            ADD_FAILURE() << "unknown step " << step;
        }
    }

    // A hold by number alone as its number, a connection's as its name.
    std::string HolderText(Arbitration::CameraIndex camera) const
    {
        const Arbitration::SessionKey holder = core.Holder(camera);
        if (holder >> 16 == 0)
            return std::to_string(holder);
        const auto connection = table.Holding(holder);
        return connection == Arbitration::NoConnection ? "a connection gone" : names.at(connection);
    }

    static long long Milliseconds(Clock::time_point time)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch())
            .count();
    }

    void Note(const Arbitration::Selection& selection)
    {
        trace.push_back(names.at(selection.to) + ": " + *selection.text);
        if (selection.reservation)
            trace.push_back(names.at(selection.to) + ": " + *selection.reservation);
    }

    void Note(const Arbitration::Announcement& announcement)
    {
        for (const auto& watcher : table.Watchers(announcement.camera)) {
            const bool own = announcement.ownUser
                                 ? table[watcher.second].userName == *announcement.ownUser
                                 : watcher.first == announcement.holder;
            trace.push_back(names.at(watcher.second) + ": " +
                            **(own ? announcement.toHolder : announcement.toOthers));
        }
    }

    ConnectionTable table;
    Arbitration core{table, Cameras()};
    std::map<std::string, Arbitration::ConnectionId> ids;
    std::map<Arbitration::ConnectionId, std::string> names;
    std::map<std::string, Arbitration::SessionKey> keys;
    Trace trace;
};

const std::string Mine = std::string(OperatorProtocol::YouHaveControl);
const std::string Lapsed = std::string(OperatorProtocol::ControlLapsed);

} // namespace

// Each delivered command takes the hold for its sender and moves its end on:
// it lapses LockTime after the last one, however early the timer wakes up.
TEST(ArbitrationCore, HoldsFollowDeliveredCommandsAndLapseOnTime)
{
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"taken, taken over, then lapsed",
         {"deliver gate 7 3 0", "deliver gate 9 5 500", "expire 2000", "expire 2500"},
         {"gate held by 7 (3) until 2000", "gate held by 9 (5) until 2500", "next 2500",
          "next none"}},
        {"renewed by the holder: lapses LockTime after the last command",
         {"deliver gate 7 3 0", "deliver gate 7 3 1200", "expire 2000", "expire 3199",
          "expire 3200"},
         {"gate held by 7 (3) until 2000", "gate held by 7 (3) until 3200", "next 3200",
          "next 3200", "next none"}},
        {"LockTime 0: lapses as soon as the timer runs",
         {"deliver yard 7 3 100", "expire 100", "deliver yard 9 5 150", "expire 150"},
         {"yard held by 7 (3) until 100", "next none", "yard held by 9 (5) until 150",
          "next none"}},
        {"each camera lapses on its own deadline",
         {"deliver gate 7 3 0", "deliver high 8 1 500", "expire 1500", "expire 2000"},
         {"gate held by 7 (3) until 2000", "high held by 8 (1) until 1500", "next 2000",
          "next none"}},
        {"a priority of -1 still holds",
         {"deliver gate 7 -1 0", "expire 1999"},
         {"gate held by 7 (-1) until 2000", "next 2000"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Desk().Run(c.steps), c.trace) << c.name;
}

TEST(ArbitrationCore, CommandsChooseModeAndNotices)
{
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"a command selects its camera once; the watchers hear who holds it",
         {"connect A 101", "login A alice", "connect B 102", "login B bob", "send B 4 1",
          "send A 4 5", "deliver gate 101 5 0", "send B 4 1", "send A 4 5", "send A 9 5",
          "send A 44 5"},
         {"B: 1CAMERA\tgate\t4", "B forward gate", "A: 1CAMERA\tgate\t4", "A forward gate",
          "A: " + Mine, "B: #F00000 alice has control", "gate held by 101 (5) until 2000",
          "B refused gate", "A forward gate", "A unknown camera", "A unknown camera"}},
        {"while the hold lasts: equal or lower priority waits, higher takes over, the holder "
         "always passes",
         {"connect A 101", "connect B 102", "connect C 103", "send A 4 5", "send B 4 5",
          "send C 4 6", "deliver gate 101 5 0", "send B 4 5", "send C 4 6", "deliver gate 103 6 10",
          "send A 4 6", "send C 4 -9", "send A 4 7"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "B: 1CAMERA\tgate\t4", "B forward gate",
          "C: 1CAMERA\tgate\t4", "C forward gate", "A: " + Mine, "B: #F00000  has control",
          "C: #F00000  has control", "gate held by 101 (5) until 2000", "B refused gate",
          "C forward gate", "A: #F00000  has control", "B: #F00000  has control", "C: " + Mine,
          "gate held by 103 (6) until 2010", "A refused gate", "C forward gate", "A forward gate"}},
        {"the NVR's name follows a tab; a later login changes the name announced",
         {"name gate Gate West", "connect A 101", "login A alice", "connect B 102", "send A 4 0",
          "send B 4 0", "login A bob", "deliver gate 101 0 0"},
         {"A: 1CAMERA\tgate\t4\tGate West", "A forward gate", "B: 1CAMERA\tgate\t4\tGate West",
          "B forward gate", "A: " + Mine, "B: #F00000 bob has control",
          "gate held by 101 (0) until 2000"}},
        {"a lapse reaches the watchers of that camera only",
         {"connect A 101", "connect B 102", "connect C 103", "send A 4 0", "send B 4 0",
          "send C 200 0", "deliver gate 103 0 0", "expire 2000"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "B: 1CAMERA\tgate\t4", "B forward gate",
          "C: 1CAMERA\tyard\t200", "C forward yard", "A: #F00000  has control",
          "B: #F00000  has control", "gate held by 103 (0) until 2000", "A: " + Lapsed,
          "B: " + Lapsed, "next none"}},
        {"only the first CHOOSE counts, CANCEL only its own; a trigger hands over once",
         {"connect A 101", "connect B 102", "choose A", "choose B", "cancel B", "trigger yard",
          "trigger gate", "choose B", "cancel A", "trigger gate"},
         {"A: 0CAMERA\tyard\t200", "B: 0CAMERA\tgate\t4"}},
        {"a command for another camera ends anybody's choose mode, silently",
         {"connect A 101", "connect B 102", "choose A", "send B 4 0", "trigger yard", "send B 4 0",
          "choose A", "send B 4 0", "trigger yard"},
         {"B: 1CAMERA\tgate\t4", "B forward gate", "B forward gate", "B forward gate",
          "A: 0CAMERA\tyard\t200"}},
        {"an ended chooser keeps the slot until a command takes it over",
         {"connect A 101", "choose A", "leave A", "connect B 102", "choose B", "trigger gate",
          "send B 4 0", "choose B", "trigger yard"},
         {"B: 1CAMERA\tgate\t4", "B forward gate", "B: 0CAMERA\tyard\t200"}},
        {"a holder gone is announced without a name, and the hold stands",
         {"connect A 101", "login A alice", "connect B 102", "send A 4 5", "send B 4 1", "leave A",
          "deliver gate 101 5 0", "send B 4 1"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "B: 1CAMERA\tgate\t4", "B forward gate",
          "B: #F00000  has control", "gate held by 101 (5) until 2000", "B refused gate"}},
        {"a later connection with the same number takes the notices over; the earlier one "
         "steers its own camera and leaves without taking the later one along",
         {"connect A 101", "send A 4 0", "connect C 101", "login C carol", "send C 4 0",
          "send A 200 0", "deliver yard 101 0 0", "leave A", "deliver yard 101 0 10"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "C: 1CAMERA\tgate\t4", "C forward gate",
          "C: 1CAMERA\tyard\t200", "A forward gate", "C: " + Mine, "yard held by 101 (0) until 0",
          "C: " + Mine, "yard held by 101 (0) until 10"}},
        {"a connection whose number was taken before it chose has nothing to steer",
         {"connect A 101", "connect C 101", "send A 4 0"},
         {"C: 1CAMERA\tgate\t4", "A nothing to steer"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Desk().Run(c.steps), c.trace) << c.name;
}

// A reload removes and adds cameras: the slot of a removed one goes to the
// next camera added (the first free one), the Pelco address still to the
// camera added first; and a revoked user's holds go at once.
TEST(ArbitrationCore, ReloadedCamerasAndRevokedUsers)
{
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"a removed camera's connections are told it is free, and its Pelco number is unknown",
         {"connect A 101", "connect B 102", "send A 4 5", "send B 4 1", "deliver gate 101 5 0",
          "remove gate", "expire 2000", "send A 4 5"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "B: 1CAMERA\tgate\t4", "B forward gate",
          "A: " + Mine, "B: #F00000  has control", "gate held by 101 (5) until 2000",
          "A: " + Lapsed, "B: " + Lapsed, "removed gate held by 101", "next none",
          "A unknown camera"}},
        {"an added camera takes a free slot, also the Pelco number and Address of a removed one",
         {"connect A 101", "send A 4 0", "remove gate", "add door 4 1000", "add gate 5 1000",
          "send A 4 0", "send A 5 0", "deliver gate 101 0 0"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "A: " + Lapsed, "removed gate",
          "added door at 0", "added gate at 3", "A: 1CAMERA\tdoor\t4", "A forward door",
          "A: 1CAMERA\tgate\t5", "A forward gate", "A: " + Mine,
          "gate held by 101 (0) until 1000"}},
        {"a camera in an earlier slot than one added before it does not take its Pelco number",
         {"remove gate", "add door 200 0", "connect A 101", "send A 200 0", "remove yard",
          "send A 200 0"},
         {"removed gate", "added door at 0", "A: 1CAMERA\tyard\t200", "A forward yard",
          "A: " + Lapsed, "removed yard", "A: 1CAMERA\tdoor\t200", "A forward door"}},
        {"a camera changed at its Address keeps the NVR's name for it",
         {"name gate Gate West", "remove gate", "add gate 6 0", "connect A 101", "send A 6 0"},
         {"removed gate", "added gate at 0", "A: 1CAMERA\tgate\t6\tGate West",
          "A forward gate"}},
        {"two cameras swap their Pelco numbers",
         {"remove gate", "remove yard", "add gate 200 0", "add yard 4 0", "connect A 101",
          "send A 4 0", "send A 200 0"},
         {"removed gate", "removed yard", "added gate at 0", "added yard at 2",
          "A: 1CAMERA\tyard\t4", "A forward yard", "A: 1CAMERA\tgate\t200", "A forward gate"}},
        {"a new lock time holds from the next delivered command",
         {"deliver gate 7 3 0", "locktime 5000", "expire 1999", "deliver gate 7 3 1000"},
         {"gate held by 7 (3) until 2000", "next 2000", "gate held by 7 (3) until 6000"}},
        {"a revoked connection's holds go at once, as a lapse, and so does its choose mode; a "
         "hold left by a connection that ended before lapses in its time",
         {"connect A 101", "connect B 102", "connect C 103", "send A 4 5", "send B 4 1",
          "deliver gate 101 5 0", "deliver high 103 1 0", "leave C", "choose A", "revoke A",
          "trigger yard", "send B 4 1", "expire 999", "expire 1000"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "B: 1CAMERA\tgate\t4", "B forward gate",
          "A: " + Mine, "B: #F00000  has control", "gate held by 101 (5) until 2000",
          "high held by 103 (1) until 1000", "A: " + Lapsed, "B: " + Lapsed, "revoked A: 1 held",
          "B forward gate", "next 1000", "next none"}},
        {"a connection whose number went to a later one holds nothing of its own to lose",
         {"connect A 101", "deliver gate 101 0 0", "connect C 101", "revoke A", "expire 2000"},
         {"gate held by 101 (0) until 2000", "revoked A: 0 held", "next none"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Desk().Run(c.steps), c.trace) << c.name;
}

// With RequireLogin a connection is known as itself: a later one with the
// same number (from another address, necessarily) holds nothing of the
// earlier one's, and its CHOOSE and commands concern itself alone.
TEST(ArbitrationCore, WithRequireLoginHoldsBelongToTheConnectionThatTookThem)
{
    const std::vector<std::string> supervisorHolds = {
        "connect-required S 101", "login S chief",          "send S 4 20",
        "delivered gate S 20 0",  "connect-required M 101", "login M mallory"};
    const Trace supervisorHeld = {"S: 1CAMERA\tgate\t4", "S forward gate", "S: " + Mine,
                                  "gate held by S (20) until 2000"};
    const auto then = [](std::vector<std::string> first, const std::vector<std::string>& more) {
        first.insert(first.end(), more.begin(), more.end());
        return first;
    };
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"the later connection is tested with its own priority; the holder keeps its notices",
         then(supervisorHolds, {"send M 4 1", "send S 4 20", "delivered gate S 20 100"}),
         then(supervisorHeld,
              {"M: 1CAMERA\tgate\t4", "M refused gate", "S forward gate", "S: " + Mine,
               "M: #F00000 chief has control", "gate held by S (20) until 2100"})},
        {"a higher priority takes over by its own right, and each hears its own notice",
         then(supervisorHolds, {"send M 4 30", "delivered gate M 30 100", "send S 4 20"}),
         then(supervisorHeld,
              {"M: 1CAMERA\tgate\t4", "M forward gate", "S: #F00000 mallory has control",
               "M: " + Mine, "gate held by M (30) until 2100", "S refused gate"})},
        {"choose mode is the connection's: the other's CANCEL does not end it",
         then(supervisorHolds,
              {"choose S", "cancel M", "choose M", "trigger yard", "choose M", "trigger gate"}),
         then(supervisorHeld, {"S: 0CAMERA\tyard\t200", "M: 0CAMERA\tgate\t4"})},
        {"a hold by number alone is no RequireLogin connection's, nor the other way round",
         {"connect A 101", "send A 4 5", "deliver gate 101 5 0", "connect-required B 101",
          "send B 4 5", "connect C 102", "send C 200 0", "delivered yard C 0 0",
          "connect-required D 102", "send D 200 0"},
         {"A: 1CAMERA\tgate\t4", "A forward gate", "A: " + Mine, "gate held by 101 (5) until 2000",
          "B: 1CAMERA\tgate\t4", "B refused gate", "C: 1CAMERA\tyard\t200", "C forward yard",
          "C: " + Mine, "yard held by 102 (0) until 0", "D: 1CAMERA\tyard\t200", "D refused yard"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Desk().Run(c.steps), c.trace) << c.name;
}

// A supervisor's reservation against the priorities: only its user's
// sessions steer (or nobody's), whatever their priority; the hold of anyone
// else ends at once; its end leaves a hold by its user as an ordinary hold.
TEST(ArbitrationCore, ReservationsOverrulePriorities)
{
    const std::vector<std::string> twoOnGate = {
        "connect A 101", "login A alice", "connect B 102", "login B bob",
        "send A 4 1",    "send B 4 9"};
    const Trace twoOnGateTrace = {"A: 1CAMERA\tgate\t4", "A forward gate", "B: 1CAMERA\tgate\t4",
                                  "B forward gate"};
    const auto then = [](std::vector<std::string> first, const std::vector<std::string>& more) {
        first.insert(first.end(), more.begin(), more.end());
        return first;
    };
    const auto thenTrace = [](Trace first, const Trace& more) {
        first.insert(first.end(), more.begin(), more.end());
        return first;
    };
    const std::string ForYou = std::string(OperatorProtocol::ReservedForYou);
    const std::string ForAlice = OperatorProtocol::ReservedFor("alice");
    const std::string Out = std::string(OperatorProtocol::OutOfService);
    const struct
    {
        const char* name;
        std::vector<std::string> steps;
        Trace trace;
    } cases[] = {
        {"a higher priority's hold ends; only the user's low priority steers",
         then(twoOnGate, {"deliver gate 102 9 0", "reserve gate alice sup 60000", "send B 4 9",
                          "send A 4 1", "delivered gate A 1 10"}),
         thenTrace(twoOnGateTrace,
                   {"A: #F00000 bob has control", "B: " + Mine, "gate held by 102 (9) until 2000",
                    "gate hold of 102 ended", "A: " + ForYou, "B: " + ForAlice, "B refused gate",
                    "A forward gate", "A: " + Mine, "B: #F00000 alice has control",
                    "gate held by 101 (1) until 2010"})},
        {"the user's own hold stands; its end leaves it an ordinary hold, taken over by "
         "priority",
         then(twoOnGate, {"delivered gate A 1 0", "reserve gate alice sup 60000", "unreserve gate",
                          "send B 4 9"}),
         thenTrace(twoOnGateTrace,
                   {"A: " + Mine, "B: #F00000 alice has control", "gate held by 101 (1) until 2000",
                    "A: " + ForYou, "B: " + ForAlice, "unreserved gate", "B forward gate"})},
        {"out of service: nobody steers, the user of no session either; a lapse frees it",
         then(twoOnGate, {"reserve gate - sup 5000", "send A 4 1", "send B 4 9",
                          "reservations-expire 4999", "reservations-expire 5000", "send B 4 9"}),
         thenTrace(twoOnGateTrace,
                   {"A: " + Out, "B: " + Out, "A refused gate", "B refused gate",
                    "next reservation 5000", "lapsed gate", "A: " + Lapsed, "B: " + Lapsed,
                    "next reservation none", "B forward gate"})},
        {"another supervisor's reservation stands; the same supervisor's replaces its own",
         then(twoOnGate, {"reserve gate alice sup 5000", "reserve gate bob other 9000",
                          "reserve gate bob sup 9000", "send B 4 0", "send A 4 9"}),
         thenTrace(twoOnGateTrace,
                   {"A: " + ForYou, "B: " + ForAlice, "conflict: reserved by sup",
                    "A: #F00000 Reserved for bob", "B: " + ForYou, "B forward gate",
                    "A refused gate"})},
        {"release ends the hold and the reservation with it",
         then(twoOnGate, {"delivered gate A 1 0", "reserve gate alice sup 5000", "release gate",
                          "send B 4 0", "release yard"}),
         thenTrace(twoOnGateTrace,
                   {"A: " + Mine, "B: #F00000 alice has control", "gate held by 101 (1) until 2000",
                    "A: " + ForYou, "B: " + ForAlice, "released gate (held) (reserved)",
                    "A: " + Lapsed, "B: " + Lapsed, "B forward gate", "released yard"})},
        {"a newcomer is told the reservation after its CAMERA message; a session that never "
         "logged in is no user's",
         {"reserve gate alice sup 5000", "connect A 101", "login A alice", "send A 4 0",
          "connect C 103", "send C 4 0", "choose C", "trigger gate"},
         {"A: 1CAMERA\tgate\t4", "A: " + ForYou, "A forward gate", "C: 1CAMERA\tgate\t4",
          "C: " + ForAlice, "C refused gate", "C: 0CAMERA\tgate\t4", "C: " + ForAlice}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Desk().Run(c.steps), c.trace) << c.name;
}

} // namespace korvel::arbitration_core_test
