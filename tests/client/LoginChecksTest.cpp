// Logins that need a check off the loop: the crypt formats against known
// pairs (made with mkpasswd), and the login rules' verdicts on a password
// hash's and a directory account's check, on simulated time.
#include "client/LoginDesk.h"
#include "config/PasswordHashFormat.h"
#include "platform/PasswordCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvel::login_checks_test {

namespace {

using namespace std::chrono_literals;
using Kind = LoginDesk::Verdict::Kind;
using Result = LoginDesk::CheckResult;

const TimeSource::TimePoint Start{std::chrono::hours(1000)};

Result Directory(DirectoryAnswer::Outcome outcome, std::vector<std::string> groups,
                 std::string reason = "")
{
    Result result;
    result.kind = Result::Kind::Directory;
    result.answer.outcome = outcome;
    result.answer.groups = std::move(groups);
    result.answer.reason = std::move(reason);
    return result;
}

Result Only(Result::Kind kind)
{
    Result result;
    result.kind = kind;
    return result;
}

} // namespace

TEST(PasswordHash, KnownPairsWrongPasswordsAndMalformedHashes)
{
    const struct
    {
        const char* hash;
        const char* password;
        PasswordHashFormat format;
        bool matches;
    } cases[] = {
        {"$y$j9T$sZosq1CrdlQqL0kPHz81j1$6htPX4AwTrf5o9LXMxUoHX5TT5tOKfEU3JjaEU.Q9/7",
         "correct horse", PasswordHashFormat::Yescrypt, true},
        {"$y$j9T$I8dOrh7oUAd8CYsha3vNa/$6/jN8t563dvvLcIudBx9bWP8LCPtW5YQ/rhqhGpfkm6",
         "ünïcødé pässwörd", PasswordHashFormat::Yescrypt, true},
        {"$y$j9T$aVRXnUuip.r3y4jIMoSnf0$TFkhgxBSpGQXuOgHqibNIIG2840D67d8gv1QykRIKmD", "x",
         PasswordHashFormat::Yescrypt, true},
        {"$y$j9T$sZosq1CrdlQqL0kPHz81j1$6htPX4AwTrf5o9LXMxUoHX5TT5tOKfEU3JjaEU.Q9/7",
         "correct horsE", PasswordHashFormat::Yescrypt, false},
        {"$y$j9T$sZosq1CrdlQqL0kPHz81j1$6htPX4AwTrf5o9LXMxUoHX5TT5tOKfEU3JjaEU.Q9/7", "",
         PasswordHashFormat::Yescrypt, false},
        {"$2b$05$TyqM5Sp4865J0AqfVRHDdeI.oGZueMkYCt09AGpK35D/SsaNDjJM2", "correct horse",
         PasswordHashFormat::Bcrypt, true},
        {"$2b$05$N.ZTDLcdirof2XoEs0j9e.BbPQS67KRv86tq5JXdBSi.x.o3YHsFu", "ünïcødé pässwörd",
         PasswordHashFormat::Bcrypt, true},
        {"$2a$05$7lTzMGeYwBF3ce/bCQlNG.iUrHcD76jbg8gwB0NZBve..2EyRCUqC", "secret",
         PasswordHashFormat::Bcrypt, true},
        {"$2b$05$SNGuezLrt/MOq/XfNOMDj.a1Rjbv0zJAe5hfq3lASAiMWzWwfz156", "y",
         PasswordHashFormat::Bcrypt, false},
        {"$6$ytTiqj0DLxmaEWC9$J1xv17wWdK32JtAHHStmO0uxjxTQljOrviEA5vDSk.ygUZvAPduPHUq96Tqag36MiJ"
         "EbNd8.6pcV9TXuP78cG.",
         "correct horse", PasswordHashFormat::Sha512, true},
        {"$6$rounds=10000$27UD9AL9USgYMv.L$BNX.RzJ6hqzlp0t6WA/qdcSJukXArcBJ2OnzldGLSJ5Mzu1/IcQ7"
         "TLXggx/PAIhC/DZahAlKR4W6YvKcQEmgb1",
         "secret", PasswordHashFormat::Sha512, true},
        {"$6$HWSVbc4JcYNuAHcT$11w4dFWhIIMpcoW/UnFZdYzezuMZLDDdt9IyakTFNWRL.oPsxXRK83wQCs0cnzAoYX"
         "daZVKbU4Fxgoxxh1wLU.",
         "x\ny", PasswordHashFormat::Sha512, false},
        // Kinds the library reads but the configuration does not (its user
        // is skipped), and hashes cut short or garbled, which no password
        // passes.
        {"$1$//cn2FDr$Kqn8eKtxwIR08c30NYwXr0", "secret", PasswordHashFormat::Malformed, true},
        {"$5$yI5On.YBD1f9mB81$7Tjmeov4RFiwZ9sRFnxPMOgLK7eUt2htW3EUO2I4.uD", "secret",
         PasswordHashFormat::Malformed, true},
        {"abJnggxhB/yWI", "secret", PasswordHashFormat::Malformed, false},
        {"$y$j9T$sZosq1CrdlQqL0kPHz81j1$6htPX4AwTrf5o9LXMxUoHX5TT5tOKfEU3JjaEU.Q9/", "correct horse",
         PasswordHashFormat::Malformed, false},
        {"$2b$05$TyqM5Sp4865J0AqfVRHDdeI.oGZueMkYCt09AGpK35D/SsaNDjJM", "correct horse",
         PasswordHashFormat::Malformed, false},
        {"$2b$99$TyqM5Sp4865J0AqfVRHDdeI.oGZueMkYCt09AGpK35D/SsaNDjJM2", "correct horse",
         PasswordHashFormat::Malformed, false},
        {"$6$ytTiqj0DLxmaEWC9$J1xv17wWdK32JtAHHStmO0uxjxTQljOrviEA5vDSk.ygUZvAPduPHUq96Tqag36MiJ"
         "EbNd8.6pcV9TXuP78c!.",
         "correct horse", PasswordHashFormat::Malformed, false},
        {"$y$$$", "", PasswordHashFormat::Malformed, false},
        {"", "", PasswordHashFormat::Malformed, false},
        {"*", "", PasswordHashFormat::Malformed, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.hash) + " / " + c.password);
        EXPECT_EQ(PasswordHashFormatOf(c.hash), c.format);
        EXPECT_EQ(PasswordMatchesHash(c.password, c.hash), c.matches);
    }
    // A password with a zero byte is never cut short to one that matches.
    EXPECT_FALSE(PasswordMatchesHash(std::string("x\0tail", 6),
                                     "$y$j9T$aVRXnUuip.r3y4jIMoSnf0$TFkhgxBSpGQXuOgHqibNIIG2840D67d8gv1Q"
                                     "ykRIKmD"));
    // A new hash is of the default kind and checks.
    const std::string made = HashPassword("new one");
    EXPECT_EQ(PasswordHashFormatOf(made), PasswordHashFormat::Yescrypt);
    EXPECT_TRUE(PasswordMatchesHash("new one", made));
    EXPECT_FALSE(PasswordMatchesHash("new onE", made));
    EXPECT_NE(HashPassword("new one"), made) << "a fresh salt each time";
}

TEST(LoginDesk, ChecksOfHashesAndDirectoryAccounts)
{
    UserTable users = {{"hashed", {"hashed", "", 4, "$y$the-hash"}},
                       {"plain", {"plain", "pw", 2, ""}}};
    SessionPolicy policy;
    LoginDesk desk(users, policy);
    OperatorConnection from;
    from.clientAddress = "10.0.0.7";

    // Without a Directory a name no user has fails at once; a hash is checked.
    EXPECT_EQ(desk.Login(from, "stranger", "pw", Start).kind, Kind::Refused);
    LoginDesk::Verdict asked = desk.Login(from, "hashed", "pw", Start);
    ASSERT_EQ(asked.kind, Kind::Check);
    EXPECT_EQ(asked.check->kind, LoginDesk::Verdict::Check::Kind::Hash);
    EXPECT_EQ(asked.check->hash, "$y$the-hash");
    EXPECT_EQ(desk.Login(from, "plain", "pw", Start).kind, Kind::Passed) << "answered as ever";

    DirectorySettings directory;
    directory.service = "tlkorvel";
    directory.groups = {{"cctv-operators", 3, false}, {"cctv-supervisors", 9, true},
                        {"cctv-trainees", 1, false}};
    desk.SetDirectory(directory);
    const LoginDesk::Verdict::Check hash = *asked.check;
    asked = desk.Login(from, "stranger", "pw", Start);
    ASSERT_EQ(asked.kind, Kind::Check);
    EXPECT_EQ(asked.check->kind, LoginDesk::Verdict::Check::Kind::Directory);
    EXPECT_EQ(asked.check->service, "tlkorvel");
    EXPECT_EQ(desk.Login(from, "plain", "wrong", Start).kind, Kind::Refused)
        << "a configured user wins over the directory";
    const LoginDesk::Verdict::Check account = *asked.check;

    using O = DirectoryAnswer::Outcome;
    const struct
    {
        const char* what;
        const char* name;
        LoginDesk::Verdict::Check check;
        Result result;
        Kind kind;
        int priority;
        bool supervisor;
        const char* notice;
        const char* line;
    } cases[] = {
        {"the hash matched", "hashed", hash, Only(Result::Kind::HashMatched), Kind::Passed, 4,
         false, "", "Login from 10.0.0.7 by user hashed with priority 4"},
        {"the hash did not", "hashed", hash, Only(Result::Kind::HashDiffers), Kind::Refused, 0,
         false, "", "Failed login from 10.0.0.7 by user hashed"},
        {"the highest priority of two groups, the supervisor right of one", "ann", account,
         Directory(O::Passed, {"users", "cctv-supervisors", "cctv-operators"}), Kind::Passed, 9,
         true, "", "Login from 10.0.0.7 by user ann with priority 9"},
        {"one group", "bob", account, Directory(O::Passed, {"cctv-operators", "users"}),
         Kind::Passed, 3, false, "", "Login from 10.0.0.7 by user bob with priority 3"},
        {"in none", "carol", account, Directory(O::Passed, {"users"}), Kind::Refused, 0, false,
         "Directory accounts (service tlkorvel): an account in none of the configured groups "
         "(logged once)",
         "Failed login from 10.0.0.7 by user carol"},
        {"in none again: logged once", "dave", account, Directory(O::Passed, {}), Kind::Refused, 0,
         false, "", "Failed login from 10.0.0.7 by user dave"},
        {"PAM's own text", "eve", account,
         Directory(O::Refused, {}, "authenticate: Authentication failure"), Kind::Refused, 0,
         false,
         "Directory accounts (service tlkorvel): authenticate: Authentication failure (logged "
         "once)",
         "Failed login from 10.0.0.7 by user eve"},
        {"another kind", "eve", account,
         Directory(O::Failed, {}, "authenticate: Authentication service cannot retrieve "
                                  "authentication info"),
         Kind::Refused, 0, false,
         "Directory accounts (service tlkorvel): authenticate: Authentication service cannot "
         "retrieve authentication info (logged once)",
         "Failed login from 10.0.0.7 by user eve"},
        {"no answer by the deadline", "frank", account, Only(Result::Kind::TimedOut),
         Kind::Refused, 0, false,
         "Directory accounts (service tlkorvel): no answer within 10 s (logged once)",
         "Failed login from 10.0.0.7 by user frank"},
        {"too many waiting", "gina", account, Only(Result::Kind::Busy), Kind::Refused, 0, false,
         "Directory accounts (service tlkorvel): too many logins waiting for a check (logged "
         "once)",
         "Failed login from 10.0.0.7 by user gina"},
    };
    policy.throttleLogins = false; // apart, below
    desk.SetPolicy(policy);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const LoginDesk::Verdict verdict = desk.Checked(from, c.name, c.check, c.result, Start);
        EXPECT_EQ(verdict.kind, c.kind);
        EXPECT_EQ(verdict.priority, c.priority);
        EXPECT_EQ(verdict.supervisor, c.supervisor);
        EXPECT_EQ(verdict.notice, c.notice);
        EXPECT_EQ(verdict.logLine, c.line);
    }

    // A reload between the check's start and its end: the hash changed, or
    // the groups did; the check answers by what is configured now.
    users["hashed"].passwordHash = "$y$another";
    EXPECT_EQ(desk.Checked(from, "hashed", hash, Only(Result::Kind::HashMatched), Start).kind,
              Kind::Refused);
    directory.groups = {{"cctv-operators", 5, false}};
    desk.SetDirectory(directory);
    const LoginDesk::Verdict demoted =
        desk.Checked(from, "ann", account, Directory(O::Passed, {"cctv-supervisors", "cctv-operators"}), Start);
    EXPECT_EQ(demoted.priority, 5);
    EXPECT_FALSE(demoted.supervisor);
    desk.SetDirectory({});
    EXPECT_EQ(desk.Checked(from, "ann", account, Directory(O::Passed, {"cctv-operators"}), Start)
                  .kind,
              Kind::Refused)
        << "directory accounts turned off meanwhile";
    EXPECT_EQ(desk.Login(from, "ann", "pw", Start).kind, Kind::Refused);

    // The throttle counts failed checks like any failed LOGIN: directory
    // names for the address alone, so a guesser who varies the name is
    // slowed all the same.
    from.clientAddress = "10.0.0.8";
    desk.SetDirectory(directory);
    policy.throttleLogins = true;
    desk.SetPolicy(policy);
    int held = 0;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "guess" + std::to_string(i);
        const auto verdict = desk.Checked(from, name, account, Directory(O::Refused, {}, "x"), Start);
        if (verdict.kind == Kind::HeldBack)
            ++held;
    }
    EXPECT_EQ(held, 1) << "the sixth failure within the minute";
}

// A supervisor's login: a configured supervisor with a hash, and directory
// accounts, are checked as for a LOGIN; the right lasts while the user, or
// a supervisors' group the account was found in, is still configured so.
TEST(LoginDesk, SupervisorLoginsThroughChecks)
{
    UserTable users = {{"chief", {"chief", "", 1, "$y$chief", true}},
                       {"hashed", {"hashed", "", 4, "$y$op", false}},
                       {"sue", {"sue", "pw", 0, "", true}}};
    SessionPolicy policy;
    policy.throttleLogins = false;
    LoginDesk desk(users, policy);
    DirectorySettings directory;
    directory.service = "tlkorvel";
    directory.groups = {{"cctv-operators", 3, false}, {"cctv-supervisors", 9, true}};
    desk.SetDirectory(directory);

    const struct
    {
        const char* name;
        Kind kind;
        LoginDesk::Verdict::Check::Kind check;
    } asked[] = {
        {"chief", Kind::Check, LoginDesk::Verdict::Check::Kind::Hash},
        {"hashed", Kind::Refused, {}}, // no supervisor: not even checked
        {"sue", Kind::Passed, {}},
        {"ann", Kind::Check, LoginDesk::Verdict::Check::Kind::Directory},
    };
    for (const auto& c : asked) {
        SCOPED_TRACE(c.name);
        const auto verdict = desk.SupervisorLogin("10.0.0.9", c.name, "pw", Start);
        EXPECT_EQ(verdict.kind, c.kind);
        if (verdict.kind == Kind::Check) {
            EXPECT_EQ(verdict.check->kind, c.check);
        }
    }

    using O = DirectoryAnswer::Outcome;
    const LoginDesk::Verdict::Check hash{LoginDesk::Verdict::Check::Kind::Hash, "$y$chief", {}};
    const LoginDesk::Verdict::Check account{LoginDesk::Verdict::Check::Kind::Directory, {},
                                            "tlkorvel"};
    const struct
    {
        const char* name;
        LoginDesk::Verdict::Check check;
        Result result;
        Kind kind;
        const char* line;
        bool supervisorAfter;
    } cases[] = {
        {"chief", hash, Only(Result::Kind::HashMatched), Kind::Passed,
         "Supervisor login from 10.0.0.9 by user chief", true},
        {"chief", hash, Only(Result::Kind::HashDiffers), Kind::Refused,
         "Failed supervisor login from 10.0.0.9 by user chief", true},
        {"ann", account, Directory(O::Passed, {"cctv-operators", "cctv-supervisors"}),
         Kind::Passed, "Supervisor login from 10.0.0.9 by user ann", true},
        {"ann", account, Directory(O::Refused, {}, "authenticate: Authentication failure"),
         Kind::Refused, "Failed supervisor login from 10.0.0.9 by user ann",
         true}, // a wrong password takes nobody's right away
        {"bob", account, Directory(O::Passed, {"cctv-operators"}), Kind::Refused,
         "Failed supervisor login from 10.0.0.9 by user bob", false},
        {"ann", account, Directory(O::Passed, {"cctv-operators"}), Kind::Refused,
         "Failed supervisor login from 10.0.0.9 by user ann",
         false}, // the directory no longer has her in the group
        {"ann", account, Only(Result::Kind::TimedOut), Kind::Refused,
         "Failed supervisor login from 10.0.0.9 by user ann", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto verdict = desk.SupervisorChecked("10.0.0.9", c.name, c.check, c.result, Start);
        EXPECT_EQ(verdict.kind, c.kind);
        EXPECT_EQ(verdict.logLine, c.line);
        EXPECT_EQ(desk.IsSupervisor(c.name), c.supervisorAfter);
    }

    // The right by a group lasts while the group is configured so.
    desk.SupervisorChecked("10.0.0.9", "ann", account, Directory(O::Passed, {"cctv-supervisors"}),
                           Start);
    EXPECT_TRUE(desk.IsSupervisor("ann"));
    directory.groups[1].supervisor = false;
    desk.SetDirectory(directory);
    EXPECT_FALSE(desk.IsSupervisor("ann"));
    directory.groups[1].supervisor = true;
    desk.SetDirectory(directory);
    EXPECT_TRUE(desk.IsSupervisor("ann"));
    users["ann"] = {"ann", "x", 1, "", false};
    EXPECT_FALSE(desk.IsSupervisor("ann")) << "a configured user of the name wins";
    users["chief"].supervisor = false;
    EXPECT_FALSE(desk.IsSupervisor("chief"));
    EXPECT_EQ(desk.SupervisorChecked("10.0.0.9", "chief", hash, Only(Result::Kind::HashMatched),
                                     Start)
                  .kind,
              Kind::Refused)
        << "no longer a supervisor when the check ended";
}

} // namespace korvel::login_checks_test
