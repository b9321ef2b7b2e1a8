#pragma once

#include "camera/CommandQueue.h"
#include "camera/LineBacklog.h"
#include "camera/LinkStateMachine.h"
#include "clock/TimeSource.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>

namespace korvel {

// How one command ended: what the operator side and the counters learn.
enum class CommandOutcome
{
    Written, // all bytes handed to the transport: its sender takes the hold
    Dropped, // no transport, a full queue, too late, or a newer socket replaced the one it was for
    Failed,  // the write failed: the link's failure path runs
};

// The outcome of a write that ended as the transport reports it: a write cut
// short by its socket being closed under it (a newer resolution replaced the
// socket, or the camera stopped) is dropped quietly, as its recovery is
// already under way.
CommandOutcome OutcomeOfWrite(Outcome write);

// How late a command may reach its camera, and what is known of the line.
struct LineLimits
{
    // From when a command is sent until its last byte has left on the line;
    // zero: no bound, every command waits as long as it takes.
    TimeSource::Duration maxAge{};
    // The line's speed; 0 when it is not known.
    double bytesPerSecond = 0;
};

// The decisions of a camera's write path; no I/O, time passed in. The
// transport is the current socket of a network camera (each socket,
// including one reopened for the next endpoint, is a transport of its own)
// or the serial port.
//
//   - A command goes to the transport the camera has when it is sent; with
//     none (no socket, or one that could not be opened) it is dropped.
//   - Commands on one transport go out in the order sent, one write at a
//     time, never interleaved. A command that finds the transport idle is
//     written at once from the sender's bytes; only when the transport
//     cannot take it whole does its rest become the write in flight, and
//     later commands wait behind it in the transport's own bounded queue.
//   - When the transport changes, whatever waits for the old one is dropped:
//     nothing queued for one socket is ever written to another. A write in
//     flight on the old one ends as aborted (or as it had already ended).
//   - Every write ends in one outcome (OutcomeOfWrite), reported by a
//     completion on the I/O loop, also for a write the transport took at
//     once, so that the hold goes to the sender whose write completed last.
//
// With a bound on the age (LineLimits::maxAge), what waits for a slow line
// waits here, where its age is seen, not in the system's buffers:
//
//   - Line's speed known: a command is handed to the transport when it would
//     leave on the line within the bound (after what the transport holds,
//     LineBacklog), so a line that keeps up takes every command at once, as
//     without a bound. A command that would be later waits; it is dropped as
//     soon as a newer one is sent, and so is every waiting command, oldest
//     first, that can no longer leave in time. The newest is never dropped:
//     it goes once the line is down to LastCommandLead, when writing it
//     later would not make it leave later. Neither is a stop frame dropped
//     for the moves before it: only a later stop takes its place.
//   - Speed not known: a command is handed over while the transport holds at
//     most UnknownLineShare bytes (the system's word, asked only when it may
//     hold more); waiting commands older than the bound are dropped on the
//     same terms.
//   - Dropping starts an episode (Late::episodeBegins); it ends (CaughtUp)
//     once nothing waits and the line has carried everything. A dropped
//     command takes no hold and is announced to nobody.
//
// Runs on the I/O loop thread.
class CommandWritePath
{
public:
    using TimePoint = TimeSource::TimePoint;
    using Duration = TimeSource::Duration;
    // Identifies one transport; each new socket gets a new one.
    using TransportId = std::uint64_t;
    static constexpr TransportId NoTransport = 0;

    // Bytes the transport may hold when the line's speed is not known.
    static constexpr std::size_t UnknownLineShare = 4096;
    // A late command that is kept goes to the transport once the line needs
    // no longer than this for what it holds.
    static constexpr Duration LastCommandLead = std::chrono::milliseconds(50);
    // How often a transport of unknown speed is asked again while commands
    // wait for it.
    static constexpr Duration UnknownLinePoll = std::chrono::milliseconds(25);

    // `probe` says what the transport holds (see LineBacklog).
    explicit CommandWritePath(std::size_t byteLimit, LineLimits limits = {},
                              LineBacklog::Probe probe = {});

    // The transport commands go to from now on (NoTransport: none). Returns
    // how many commands waiting for the one before were dropped.
    std::size_t UseTransport(TransportId transport);
    TransportId Transport() const { return current; }

    // Commands dropped because they could no longer reach the camera in time.
    struct Late
    {
        std::size_t dropped = 0;
        bool episodeBegins = false; // the first drop since the camera last caught up
    };

    enum class Route
    {
        Drop,     // no transport
        Overflow, // the queue holds its bound
        WriteNow, // the transport is idle: write the sender's bytes at once
        Queued,   // a copy waits behind the write in flight, or for the line
    };
    struct Routing
    {
        Route route = Route::Drop;
        bool overflowBegins = false; // the first command dropped since the queue last drained
        Late late;                   // older commands this one made late
    };
    // Where a new command goes; Queued keeps a copy of the bytes.
    Routing Send(TimePoint now, CommandSender sessionId, std::int32_t priority, const char* bytes,
                 std::size_t length);

    // The current transport could not take a command whole at once: its
    // rest becomes the write in flight, whose bytes the transport writes
    // asynchronously; it ends with InFlightEnded.
    const CameraCommand& WriteInFlight(CameraCommand rest);

    struct Ended
    {
        CommandOutcome outcome = CommandOutcome::Dropped;
        CommandSender sessionId = 0;
        std::int32_t priority = 0;
    };
    // The write in flight on that transport ended.
    Ended InFlightEnded(TransportId transport, Outcome write);

    struct Next
    {
        // The next waiting command, when the current transport is idle and
        // the line ready for it: to be written at once like a new one.
        std::optional<CameraCommand> command;
        Late late;
    };
    Next TakeNext(TimePoint now);

    // When to look again (TakeNext, CaughtUp) while nothing else will call:
    // commands wait for the line with no write in flight, or an episode of
    // drops waits for the line to drain. None otherwise.
    std::optional<TimePoint> WakeAt(TimePoint now);
    // The episode of drops ends now: nothing waits, and the line has carried
    // everything. Returns how many commands it dropped.
    std::optional<std::uint64_t> CaughtUp(TimePoint now);

    // A write is in flight on the current transport.
    bool Busy() const;
    // Writes in flight on any transport, the replaced ones' too.
    std::size_t InFlightCount() const { return inFlight.size(); }
    std::size_t QueuedCount() const { return queue.Count(); }

private:
    struct InFlight
    {
        TransportId transport;
        CameraCommand command;
    };

    bool Bounded() const { return limits.maxAge > Duration::zero(); }
    // A command of `length` bytes sent at `sent` would leave on the line
    // after its bound if handed over now.
    bool LateNow(TimePoint now, TimePoint sent, std::size_t length);
    // The transport may take a command sent at `sent` now (it is idle).
    bool LineReady(TimePoint now, TimePoint sent, std::size_t length);
    // Drops the waiting commands that can no longer reach the camera in
    // time, oldest first, up to the first that may stay. A command being
    // sent (newcomer) is newer than all of them.
    struct Newcomer
    {
        bool present = false;
        bool stop = false;
    };
    Late DropLate(TimePoint now, Newcomer newcomer);
    void Hand(TimePoint now, std::size_t length);

    LineLimits limits;
    LineBacklog backlog;
    TransportId current = NoTransport;
    // At most one write in flight per transport; the writes of replaced
    // transports stay here until they end (as aborted, once the socket is
    // closed). A list, so that the bytes of a write stay where the transport
    // was told they are.
    std::list<InFlight> inFlight;
    CommandQueue queue; // the current transport's, behind its write in flight
    bool overflowing = false;
    bool dropping = false; // an episode of late commands is under way
    std::uint64_t episodeDrops = 0;
};

} // namespace korvel
