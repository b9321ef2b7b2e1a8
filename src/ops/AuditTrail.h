#pragma once

#include "clock/SteadyTime.h"
#include "clock/WallClock.h"
#include "ops/AuditRecord.h"
#include "ops/StatusSnapshot.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace korvel {

// The control audit trail: one JSON line per record, written by a thread of
// its own so that a slow or blocked file never holds up the I/O loop.
//
//   Write (I/O loop) -> bounded queue (AuditQueue) -> writer thread -> file (AuditFile)
//
// The loop formats the line and queues it; the writer takes whatever is
// queued and writes it line by line, each line whole. When the queue is full
// the oldest records are dropped and counted, and one line per episode is
// logged. What the file does with a line (rotation, reopening, failures) is
// AuditFile's.
//
// Threads: Write, Counts and the destructor on one thread (the I/O loop and
// then the run that owns it); the writer thread meets them only through the
// queue, under the lock of the state they share.
//
// Stop: the destructor lets the writer write what is queued, waiting at most
// `stopWait`. A writer still busy then (its file blocked) is abandoned: it
// keeps the shared state alive, stays on the line it is on (however long
// the file blocks it), writes no other, and ends when the file lets it go
// (or with the process); the records it had not written are lost, and their
// count is logged. A trail that a reload replaces is retired instead
// (Retire): the writer ends by itself once it has written what is queued,
// and says so, so that the loop lets the trail go without waiting for it.
class AuditTrail
{
public:
    static constexpr std::uint64_t RotationBytes = 10 * 1024 * 1024;
    static constexpr int Generations = 5;
    // About 16,000 records of the usual size.
    static constexpr std::size_t QueueBytes = 4 * 1024 * 1024;
    static constexpr std::chrono::milliseconds StopWait{2000};

    // Writes one line on the writer thread; false when the line was not
    // written.
    using LineWriter = std::function<bool(const std::string& line)>;

    // Records are stamped with the calendar time of `wall`; the file's own
    // pace (how often its path is checked) and the stop's wait keep time on
    // `time`.
    explicit AuditTrail(const std::string& path, std::uint64_t rotateBytes = RotationBytes,
                        int generations = Generations, TimeSource& time = RealTime(),
                        WallClock& wall = RealWallClock());
    // The same queue and thread in front of any writer (the tests' own).
    AuditTrail(std::string path, LineWriter lineWriter, std::size_t queueBytes = QueueBytes,
               std::chrono::milliseconds stopWait = StopWait, TimeSource& time = RealTime(),
               WallClock& wall = RealWallClock());
    ~AuditTrail();
    AuditTrail(const AuditTrail&) = delete;
    AuditTrail& operator=(const AuditTrail&) = delete;

    // Stamped now, or `when`.
    void Write(const AuditRecord& record);
    void Write(const AuditRecord& record, WallClock::TimePoint when);
    // One line as it stands (ending in a line feed).
    void WriteLine(std::string line);

    // How many records went where, so far.
    AuditCounts Counts() const;

    // Asks the writer to end once it has written what is queued, without
    // waiting for it: it closes the file and then calls `ended`, on its own
    // thread, unless the trail has gone by then (or its file blocks it for
    // good). The destructor, called after `ended` or once `stopWait` has
    // passed since this call, then waits no longer. Nothing may be written
    // after this.
    void Retire(std::function<void()> ended);

    const std::string& Path() const { return path; }

private:
    struct Shared;
    static void RunWriter(const std::shared_ptr<Shared>& shared);

    std::string path;
    std::shared_ptr<Shared> shared;
    std::chrono::milliseconds stopWait;
    TimeSource& time;
    WallClock& wall;
    std::thread writer;
};

} // namespace korvel
