// Reload requests as the run's loop takes them, and the summary a reload
// closes with.
#include "host/ReloadOutcome.h"
#include "host/ReloadRequest.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

namespace korvel::reload_test {

TEST(Reload, RequestsAreMergedWhileTheyWaitAndFollowAReloadInProgress)
{
    const struct
    {
        const char* name;
        int beforeConnect;     // requests before the run connects
        int duringFirstReload; // requests while the first reload runs
        bool disconnectFirst;  // the run has gone before the requests
        int reloads;
    } cases[] = {
        {"none", 0, 0, false, 0},
        {"one that waits for the run", 1, 0, false, 1},
        {"several that wait are merged", 3, 0, false, 1},
        {"one during a reload makes one more after it", 1, 1, false, 2},
        {"several during a reload make one more", 1, 4, false, 2},
        {"none after the run has gone", 2, 0, true, 0},
    };
    for (const auto& c : cases) {
        boost::asio::io_context io;
        ReloadRequest request;
        for (int i = 0; i < c.beforeConnect; ++i)
            request.Request();
        int reloads = 0;
        request.Connect(io, [&] {
            if (++reloads == 1) {
                for (int i = 0; i < c.duringFirstReload; ++i)
                    request.Request();
            }
        });
        if (c.disconnectFirst) {
            request.Disconnect();
            request.Request();
        }
        io.run();
        EXPECT_EQ(reloads, c.reloads) << c.name;
    }
}

TEST(Reload, SummaryCountsEachChange)
{
    const struct
    {
        ReloadCounts counts;
        const char* summary;
    } cases[] = {
        {{},
         "Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 cameras added, 0 cameras "
         "removed, 0 cameras changed, 0 NVRs changed."},
        {{1, 1, 1, 0, 0, 0},
         "Reloaded tlKorvel.xml: 1 user added, 1 user removed, 1 camera added, 0 cameras "
         "removed, 0 cameras changed, 0 NVRs changed."},
        {{2, 0, 0, 3, 1, 1},
         "Reloaded tlKorvel.xml: 2 users added, 0 users removed, 0 cameras added, 3 cameras "
         "removed, 1 camera changed, 1 NVR changed."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReloadedSummary(c.counts), c.summary);
}

} // namespace korvel::reload_test
