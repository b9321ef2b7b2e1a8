// The supervisor's console in a real browser against the running service:
// a supervisor logs in on the status page, takes a camera out of service
// while an operator steers it, releases it, and ends the operator's session.
#include "BrowserPage.h"
#include "support/StatusRequests.h"
#include "support/Camsim.h"
#include "support/OperatorClient.h"
#include "support/ServiceProcess.h"
#include "support/UnusedPort.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace korvel::supervisor_console_test {

namespace {

// The text of the cameras table's row of a Pelco number, or of the sessions
// table's row of a session, as the page shows it.
std::string Row(const std::string& table, const std::string& first)
{
    return "([...document.querySelectorAll('#" + table + " tbody tr')].map(r => r.innerText)"
           ".find(t => t.startsWith('" + first + "\\t')) || '')";
}

std::string Click(const std::string& action, const std::string& number)
{
    return "(() => { const b = document.querySelector('button[data-action=\"" + action +
           "\"][data-number=\"" + number + "\"]'); if (!b) return false; b.click(); return true; })()";
}

} // namespace

TEST(SupervisorConsole, ReservesReleasesAndEndsASessionInTheBrowser)
{
    const std::string chromium = ProgramPath("chromium");
    if (chromium.empty()) {
        ADD_FAILURE() << "chromium is missing (make test installs it)";
        return;
    }
    auto camera = Camsim::Tcp(0, "127.0.0.20");
    ServiceSetup setup;
    setup.lockTimeSecs = 600;
    setup.users = {R"(<User Name="watch" Password="pw" Priority="5" />)",
                   R"(<User Name="chief" Password="boss" Priority="1" Supervisor="1" />)"};
    setup.cameras = {R"(<Camera Address="127.0.0.20" Port=")" + std::to_string(camera->Port()) +
                     R"(" PelcoNumber="3" />)"};
    setup.options = std::string("StatusAddress=\"") + StatusHost + "\" StatusPort=\"" +
                    std::to_string(UnusedPort()) + "\"";
    setup.control = R"(AuditFile="audit.log")";
    ServiceProcess service(setup);
    const std::uint16_t port = StatusPortOf(service);
    ASSERT_NE(port, 0);

    auto watch = LogIn(service.Port(), "watch", "pw");
    ASSERT_TRUE(SendMessage(*watch, NumberedFrame(3, 1)));
    ASSERT_TRUE(camera->WaitForNumber(1));
    const std::string session = std::to_string(watch->LocalPort());

    BrowserPage page(chromium, "http://" + std::string(StatusHost) + ":" + std::to_string(port) + "/");
    ASSERT_TRUE(page.Ready()) << page.Failure();
    ASSERT_TRUE(page.WaitFor(Row("cameras", "3") + ".includes('watch')"))
        << page.Evaluate(Row("cameras", "3") + ".includes('watch')").value_or("");
    EXPECT_EQ(page.Evaluate("document.querySelectorAll('button[data-action]').length"), "0")
        << "no actions before a supervisor logs in";

    // A wrong password is refused on the page; the right one shows the actions.
    page.Evaluate("document.getElementById('login-user').value = 'chief'");
    page.Evaluate("document.getElementById('login-password').value = 'wrong'");
    page.Evaluate("document.getElementById('login-button').click()");
    ASSERT_TRUE(page.WaitFor("document.getElementById('notice').textContent.startsWith('Login refused')"))
        << page.Evaluate("document.getElementById('notice').textContent").value_or("");
    page.Evaluate("document.getElementById('login-password').value = 'boss'");
    page.Evaluate("document.getElementById('login-button').click()");
    ASSERT_TRUE(page.WaitFor("!!document.querySelector('button[data-action=\"end\"][data-number=\"" +
                             session + "\"]')"))
        << page.Evaluate("document.getElementById('notice').textContent").value_or("");
    EXPECT_EQ(page.Evaluate("[document.cookie, localStorage.length, sessionStorage.length]"), ",0,0")
        << "the token is kept in memory only";

    // Out of service: the operator is told, and his next command refused.
    Drain(*watch);
    page.Evaluate("document.getElementById('reserve-user').value = ''");
    page.Evaluate("document.getElementById('reserve-minutes').value = '5'");
    ASSERT_EQ(page.Evaluate(Click("reserve", "3")), "true");
    ASSERT_TRUE(page.WaitFor(Row("cameras", "3") + ".includes('nobody\\tchief')"))
        << page.Evaluate(Row("cameras", "3")).value_or("");
    std::string told;
    EXPECT_TRUE(WaitUntil([&] {
        told += Drain(*watch);
        return told.find("#F00000 Out of service") != std::string::npos;
    })) << told;
    if (const char* shot = std::getenv("KORVEL_CONSOLE_SCREENSHOT")) {
        EXPECT_TRUE(page.Screenshot(shot));
    }
    ASSERT_TRUE(SendMessage(*watch, NumberedFrame(3, 2)));

    // Released: the next command goes through, and the refused one never came.
    ASSERT_EQ(page.Evaluate(Click("release", "3")), "true");
    ASSERT_TRUE(page.WaitFor(Row("cameras", "3") + ".includes('\\t\\u2013\\t\\u2013\\t\\u2013\\t')"))
        << page.Evaluate(Row("cameras", "3")).value_or("");
    EXPECT_TRUE(page.WaitFor("document.getElementById('notice').textContent === 'release camera 3: done'"));
    ASSERT_TRUE(SendMessage(*watch, NumberedFrame(3, 3)));
    ASSERT_TRUE(camera->WaitForNumber(3));
    EXPECT_EQ(camera->Numbers(), (std::vector<unsigned>{1, 3}));

    // The session ends from the page.
    ASSERT_EQ(page.Evaluate(Click("end", session)), "true");
    EXPECT_TRUE(watch->WaitClosed());
    EXPECT_TRUE(page.WaitFor(Row("sessions", session) + " === ''"));

    std::istringstream audit(ReadFile(service.Directory() + "audit.log"));
    std::string records;
    for (std::string line; std::getline(audit, line);)
        if (line.find("\"chief\"") != std::string::npos)
            records += line + "\n";
    for (const char* action : {"reserve", "release", "end"})
        EXPECT_NE(records.find(action), std::string::npos) << action << " in\n" << records;
}

} // namespace korvel::supervisor_console_test
