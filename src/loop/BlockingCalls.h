#pragma once

#include <boost/asio/io_context.hpp>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace korvel {

// Calls that block for as long as someone else takes (a directory's login,
// a password hash of a deliberate cost), run on threads of their own and
// never on the I/O loop; each call's completion comes back to the loop.
//
// At most `threads` calls run at once, on threads started as they are first
// needed and kept; further calls wait, at most `maxWaiting` of them, in the
// order they came. A call that never returns keeps its thread: so at most
// `threads` calls can hang at once, and once that many hang every later
// call waits until its caller gives up on it (Cancel), never starting.
//
// Threads: Run, Cancel and the destructor on the loop thread; the calls on
// the pool's threads, their completions posted to the loop.
//
// Lifetime: the destructor drops the waiting calls, waits up to a second for
// the running ones and leaves a call that is still running to finish on its
// own (its thread detached, sharing only the pool's inner state with it):
// its completion, like every completion not yet run, is then never run.
class BlockingCalls
{
public:
    // The call's result, run on the loop.
    using Completion = std::function<void()>;
    // Runs on a pool thread.
    using Call = std::function<Completion()>;
    using Ticket = std::uint64_t;

    BlockingCalls(boost::asio::io_context& io, std::size_t threads, std::size_t maxWaiting);
    ~BlockingCalls();
    BlockingCalls(const BlockingCalls&) = delete;
    BlockingCalls& operator=(const BlockingCalls&) = delete;

    // The call queued, or none (nothing run) when maxWaiting calls wait.
    std::optional<Ticket> Run(Call call);
    // A call that has not started is dropped; one that has is left to
    // finish, its completion not run.
    void Cancel(Ticket ticket);

    // Calls started and not yet returned.
    std::size_t Running() const;

private:
    struct Shared;
    static void Work(std::shared_ptr<Shared> inner);

    std::shared_ptr<Shared> shared;
    std::vector<std::thread> threads;
    const std::size_t maxThreads;
    const std::size_t maxWaiting;
    Ticket nextTicket = 1;
};

} // namespace korvel
