#include "loop/BlockingCalls.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <utility>

namespace korvel {

// What the pool's threads share with it, and keep once it has gone.
struct BlockingCalls::Shared
{
    struct Waiting
    {
        Ticket ticket;
        Call call;
    };

    mutable std::mutex lock;
    std::condition_variable changed;
    boost::asio::io_context* io = nullptr; // none once the pool has gone
    std::deque<Waiting> waiting;
    std::set<Ticket> running;   // started, not yet returned
    std::set<Ticket> cancelled; // running, their completion dropped
    std::size_t idle = 0;       // threads waiting for a call
    std::size_t live = 0;       // threads not yet ended
    // Set on the loop thread while the pool is alive, so that a completion
    // posted before the pool went does nothing.
    std::shared_ptr<const char> alive = std::make_shared<const char>('\0');
};

BlockingCalls::BlockingCalls(boost::asio::io_context& io, std::size_t threads,
                             std::size_t maxWaiting)
    : shared(std::make_shared<Shared>()), maxThreads(threads), maxWaiting(maxWaiting)
{
    shared->io = &io;
}

BlockingCalls::~BlockingCalls()
{
    std::unique_lock<std::mutex> hold(shared->lock);
    shared->io = nullptr;
    shared->waiting.clear();
    shared->alive.reset();
    shared->changed.notify_all();
    shared->changed.wait_for(hold, std::chrono::seconds(1), [this] { return shared->live == 0; });
    const bool allEnded = shared->live == 0;
    hold.unlock();
    for (std::thread& thread : threads) {
        if (allEnded)
            thread.join();
        else
            thread.detach(); // a call that does not return: it ends with the process
    }
}

std::optional<BlockingCalls::Ticket> BlockingCalls::Run(Call call)
{
    std::lock_guard<std::mutex> hold(shared->lock);
    if (shared->waiting.size() >= maxWaiting)
        return std::nullopt;
    const Ticket ticket = nextTicket++;
    shared->waiting.push_back({ticket, std::move(call)});
    if (shared->idle < shared->waiting.size() && threads.size() < maxThreads) {
        ++shared->live;
        threads.emplace_back([inner = shared] { Work(inner); });
    }
    shared->changed.notify_one();
    return ticket;
}

void BlockingCalls::Cancel(Ticket ticket)
{
    std::lock_guard<std::mutex> hold(shared->lock);
    auto& waiting = shared->waiting;
    const auto queued = std::find_if(waiting.begin(), waiting.end(),
                                     [ticket](const Shared::Waiting& w) { return w.ticket == ticket; });
    if (queued != waiting.end())
        waiting.erase(queued);
    else if (shared->running.count(ticket))
        shared->cancelled.insert(ticket);
}

std::size_t BlockingCalls::Running() const
{
    std::lock_guard<std::mutex> hold(shared->lock);
    return shared->running.size();
}

// Only `inner` is touched here: the pool may have gone.
void BlockingCalls::Work(std::shared_ptr<Shared> inner)
{
    std::unique_lock<std::mutex> hold(inner->lock);
    for (;;) {
        ++inner->idle;
        inner->changed.wait(hold, [&] { return !inner->io || !inner->waiting.empty(); });
        --inner->idle;
        if (!inner->io)
            break;
        Shared::Waiting next = std::move(inner->waiting.front());
        inner->waiting.pop_front();
        inner->running.insert(next.ticket);
        hold.unlock();
        Completion done = next.call();
        next.call = nullptr;
        hold.lock();
        inner->running.erase(next.ticket);
        const bool wanted = inner->cancelled.erase(next.ticket) == 0;
        if (!inner->io)
            break;
        if (wanted && done) {
            std::weak_ptr<const char> alive = inner->alive;
            boost::asio::post(*inner->io, [alive = std::move(alive), done = std::move(done)] {
                if (!alive.expired())
                    done();
            });
        }
    }
    --inner->live;
    inner->changed.notify_all();
}

} // namespace korvel
