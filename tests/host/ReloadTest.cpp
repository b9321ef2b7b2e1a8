// Reload requests as the run's loop takes them, the file read away from the
// loop, and the summary a reload closes with.
#include "host/ConfigurationReader.h"
#include "host/ReloadOutcome.h"
#include "host/ReloadRequest.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvel::reload_test {

TEST(Reload, RequestsAreMergedWhileTheyWaitAndFollowAReloadInProgress)
{
    const struct
    {
        const char* name;
        int beforeConnect;     // requests before the run connects
        int duringFirstReload; // requests while the first reload runs
        bool finishLater;      // the reload finishes in a later turn of the loop (its read)
        bool disconnectFirst;  // the run has gone before the requests
        int reloads;
    } cases[] = {
        {"none", 0, 0, false, false, 0},
        {"one that waits for the run", 1, 0, false, false, 1},
        {"several that wait are merged", 3, 0, false, false, 1},
        {"one during a reload makes one more after it", 1, 1, false, false, 2},
        {"several during a reload make one more", 1, 4, false, false, 2},
        {"several while its file is read make one more, after it", 1, 4, true, false, 2},
        {"none after the run has gone", 2, 0, false, true, 0},
    };
    for (const auto& c : cases) {
        boost::asio::io_context io;
        ReloadRequest request;
        for (int i = 0; i < c.beforeConnect; ++i)
            request.Request();
        int reloads = 0;
        bool running = false;
        bool overlapped = false;
        const auto finish = [&] {
            running = false;
            request.Finished();
        };
        request.Connect(io, [&] {
            overlapped = overlapped || running;
            running = true;
            if (++reloads == 1) {
                for (int i = 0; i < c.duringFirstReload; ++i)
                    request.Request();
            }
            if (c.finishLater)
                boost::asio::post(io, [&] { boost::asio::post(io, finish); });
            else
                finish();
        });
        if (c.disconnectFirst) {
            request.Disconnect();
            request.Request();
        }
        io.run();
        EXPECT_EQ(reloads, c.reloads) << c.name;
        EXPECT_FALSE(overlapped) << c.name << ": one reload at a time";
    }
}

// The load runs on a thread of its own while the loop goes on, and reaches
// the loop once it is done; a reader that has gone (the run stopped while the
// file blocked) hears nothing, and its thread ends when the load does.
TEST(Reload, TheFileIsReadAwayFromTheLoop)
{
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool open = false;
    };
    for (const bool readerGoesFirst : {false, true}) {
        SCOPED_TRACE(readerGoesFirst ? "the reader goes while the file blocks" : "a read");
        const auto gate = std::make_shared<Gate>();
        boost::asio::io_context io;
        auto work = boost::asio::make_work_guard(io);
        auto reader = std::make_unique<ConfigurationReader>(io);
        std::vector<std::string> seen;
        reader->Start(
            [gate] {
                std::unique_lock<std::mutex> lock(gate->mutex);
                gate->entered = true;
                gate->changed.notify_all();
                gate->changed.wait(lock, [&] { return gate->open; });
                LoadedConfiguration loaded;
                loaded.lines = {"loaded"};
                return loaded;
            },
            [&](ConfigurationReader::Result read) {
                seen.push_back(read.loaded.lines.at(0));
                work.reset();
            });
        {
            std::unique_lock<std::mutex> lock(gate->mutex);
            gate->changed.wait(lock, [&] { return gate->entered; });
        }
        // The loop serves others while the load blocks.
        boost::asio::post(io, [&] { seen.push_back("served"); });
        io.run_one();
        if (readerGoesFirst) {
            reader.reset();
            work.reset();
        }
        {
            std::lock_guard<std::mutex> lock(gate->mutex);
            gate->open = true;
            gate->changed.notify_all();
        }
        io.run();
        // The reading thread holds the gate until it has ended.
        while (gate.use_count() > 1)
            std::this_thread::yield();
        io.restart();
        io.run();
        const std::vector<std::string> expected =
            readerGoesFirst ? std::vector<std::string>{"served"}
                            : std::vector<std::string>{"served", "loaded"};
        EXPECT_EQ(seen, expected);
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
        {{1, 1, 1, 0, 0, 0, {}},
         "Reloaded tlKorvel.xml: 1 user added, 1 user removed, 1 camera added, 0 cameras "
         "removed, 0 cameras changed, 0 NVRs changed."},
        {{2, 0, 0, 3, 1, 1, {}},
         "Reloaded tlKorvel.xml: 2 users added, 0 users removed, 0 cameras added, 3 cameras "
         "removed, 1 camera changed, 1 NVR changed."},
        {{0, 0, 0, 0, 0, 0, {"still on A", "none on B"}},
         "Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 cameras added, 0 cameras "
         "removed, 0 cameras changed, 0 NVRs changed; still on A; none on B."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReloadedSummary(c.counts), c.summary);
    EXPECT_EQ(ReloadRefusedSummary(""), ReloadRefusedText);
    EXPECT_EQ(ReloadRefusedSummary("it is not a regular file"),
              "Reload of tlKorvel.xml refused; it is not a regular file; keeping the running "
              "configuration.");
}

} // namespace korvel::reload_test
