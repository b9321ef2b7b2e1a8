#include "ops/AuditTrail.h"

#include "log/LogFile.h"
#include "ops/AuditFile.h"
#include "ops/AuditQueue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace korvel {

// What the loop and the writer share; the writer holds it too, so that an
// abandoned writer never touches freed memory.
struct AuditTrail::Shared
{
    Shared(LineWriter lineWriter, std::size_t queueBytes)
        : writeLine(std::move(lineWriter)), queue(queueBytes)
    {}

    LineWriter writeLine; // the writer thread's alone; let go (the file closed) when it ends

    std::mutex mutex; // guards everything below
    std::condition_variable changed;
    AuditQueue queue;
    std::size_t inFlight = 0; // taken by the writer, not yet accounted
    std::uint64_t written = 0;
    std::uint64_t failed = 0;
    bool stopping = false;
    bool finished = false;
    // Set by Retire: when the stop wait ends, and who hears that the writer
    // has ended (called with the mutex held, so never once the trail has
    // gone).
    std::optional<TimeSource::TimePoint> stopBy;
    std::function<void()> ended;
    // Also read without the lock, between lines.
    std::atomic<bool> abandoned{false};
};

AuditTrail::AuditTrail(const std::string& path, std::uint64_t rotateBytes, int generations,
                       TimeSource& time, WallClock& wall)
    : AuditTrail(
          path,
          [file = std::make_shared<AuditFile>(path, rotateBytes, generations),
           &time](const std::string& line) { return file->Write(line, time.Now()); },
          QueueBytes, StopWait, time, wall)
{}

AuditTrail::AuditTrail(std::string path, LineWriter lineWriter, std::size_t queueBytes,
                       std::chrono::milliseconds stopWait, TimeSource& time, WallClock& wall)
    : path(std::move(path)), shared(std::make_shared<Shared>(std::move(lineWriter), queueBytes)),
      stopWait(stopWait), time(time), wall(wall), writer(RunWriter, shared)
{}

AuditTrail::~AuditTrail()
{
    bool finished = false;
    std::size_t unwritten = 0;
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->ended = nullptr;
        shared->stopping = true;
        shared->changed.notify_all();
        const auto deadline = shared->stopBy.value_or(time.Now() + stopWait);
        finished = shared->changed.wait_for(lock, std::max(deadline - time.Now(), TimeSource::Duration()),
                                            [this] { return shared->finished; });
        unwritten = finished ? 0 : shared->queue.Count() + shared->inFlight;
        shared->abandoned = !finished;
    }
    if (finished) {
        writer.join(); // it has nothing left to do but return
        return;
    }
    // Blocked on a line, or on closing its file: it ends when the file lets it.
    writer.detach();
    if (unwritten > 0) {
        LogFile.BeginLine() << "The audit file " << path << " did not take the last " << unwritten
                            << " records in time; stopping without them" << std::endl;
    }
}

void AuditTrail::Retire(std::function<void()> ended)
{
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->stopping = true;
        shared->stopBy = time.Now() + stopWait;
        shared->ended = std::move(ended);
    }
    shared->changed.notify_all();
}

void AuditTrail::Write(const AuditRecord& record)
{
    Write(record, wall.Now());
}

void AuditTrail::Write(const AuditRecord& record, WallClock::TimePoint when)
{
    WriteLine(FormatAuditLine(record, when));
}

void AuditTrail::WriteLine(std::string line)
{
    bool dropping = false;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        dropping = shared->queue.Push(std::move(line));
    }
    shared->changed.notify_all();
    if (dropping) {
        LogFile.BeginLine() << "The audit file " << path
                            << " does not keep up; dropping the oldest audit records until it does"
                            << std::endl;
    }
}

AuditCounts AuditTrail::Counts() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return AuditCounts{shared->written, shared->queue.Dropped(), shared->failed};
}

void AuditTrail::RunWriter(const std::shared_ptr<Shared>& shared)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return shared->stopping || !shared->queue.Empty(); });
        if (shared->queue.Empty())
            break; // stopping, with everything written
        const auto lines = shared->queue.TakeAll();
        shared->inFlight = lines.size();
        lock.unlock();
        std::uint64_t written = 0;
        for (const std::string& line : lines) {
            if (shared->abandoned)
                return;
            try {
                written += shared->writeLine(line) ? 1 : 0;
            } catch (const std::exception&) {
                // Lost, as a line the file refused; the writer goes on.
            }
        }
        lock.lock();
        if (shared->abandoned)
            return;
        shared->inFlight = 0;
        shared->written += written;
        shared->failed += lines.size() - written;
        shared->queue.WriterCaughtUp();
    }
    // Stopping, with everything written: the file is closed here, where a
    // close that blocks holds up nobody.
    lock.unlock();
    shared->writeLine = nullptr;
    lock.lock();
    if (shared->abandoned)
        return;
    shared->finished = true;
    if (shared->ended)
        shared->ended();
    shared->changed.notify_all();
}

} // namespace korvel
