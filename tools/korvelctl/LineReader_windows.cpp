#include "korvelctl/LineReader.h"

#include <boost/asio/post.hpp>

#include <cstdio>
#include <mutex>

namespace korvel {

// A thread blocked reading a Windows console or pipe cannot be woken, so it
// is not waited for: Stop cuts it off from the loop, and it ends with the
// process. Everything it needs after that is in the shared feed.
struct LineReader::Feed
{
    std::mutex mutex;
    bool stopped = false; // guarded by mutex: nothing is posted once set
};

namespace {

// Longer lines are handed on in pieces of this size.
const std::size_t MaxLine = 64 * 1024;

// Hands each line of standard input (without its line end) to postLine,
// until the input ends or postLine refuses.
void ReadLines(const std::function<bool(const std::string&)>& postLine)
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        const std::size_t count = std::fread(buffer, 1, sizeof buffer, stdin);
        if (count == 0)
            break;
        pending.append(buffer, count);
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            std::string line = pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!postLine(line))
                return;
        }
        pending.erase(0, start);
        if (pending.size() >= MaxLine) {
            if (!postLine(pending))
                return;
            pending.clear();
        }
    }
    if (!pending.empty())
        postLine(pending);
}

} // namespace

LineReader::LineReader(boost::asio::io_context& io, std::function<void(const std::string&)> onLine,
                       std::function<void()> onEnd)
    : io(io), onLine(std::move(onLine)), onEnd(std::move(onEnd)), feed(std::make_shared<Feed>())
{}

LineReader::~LineReader()
{
    Stop();
}

void LineReader::Start()
{
    // The thread holds the feed and the loop, never the reader itself: it
    // may outlive the reader. The posted work runs on the loop, while the
    // reader is there.
    thread = std::thread([this, shared = feed, &loop = io] {
        auto post = [&](std::function<void()> work) {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->stopped)
                return false;
            boost::asio::post(loop, std::move(work));
            return true;
        };
        auto postLine = [&](const std::string& line) {
            return post([this, line] { onLine(line); });
        };
        ReadLines(postLine);
        post([this] { onEnd(); });
    });
}

void LineReader::Stop()
{
    {
        std::lock_guard<std::mutex> lock(feed->mutex);
        feed->stopped = true;
    }
    if (thread.joinable())
        thread.detach();
}

} // namespace korvel
