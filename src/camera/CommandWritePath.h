#pragma once

#include "camera/CommandQueue.h"
#include "camera/LinkStateMachine.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>

namespace korvel {

// How one command ended: what the operator side and the counters learn.
enum class CommandOutcome
{
    Written, // all bytes handed to the transport: its sender takes the hold
    Dropped, // no transport, a full queue, or a newer socket replaced the one it was for
    Failed,  // the write failed: the link's failure path runs
};

// The outcome of a write that ended as the transport reports it: a write cut
// short by its socket being closed under it (a newer resolution replaced the
// socket, or the camera stopped) is dropped quietly, as its recovery is
// already under way.
CommandOutcome OutcomeOfWrite(Outcome write);

// The decisions of a camera's write path; no I/O. The transport is the
// current socket of a network camera (each socket, including one reopened for
// the next endpoint, is a transport of its own) or the serial port.
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
// Runs on the I/O loop thread.
class CommandWritePath
{
public:
    // Identifies one transport; each new socket gets a new one.
    using TransportId = std::uint64_t;
    static constexpr TransportId NoTransport = 0;

    explicit CommandWritePath(std::size_t byteLimit) : queue(byteLimit) {}

    // The transport commands go to from now on (NoTransport: none). Returns
    // how many commands waiting for the one before were dropped.
    std::size_t UseTransport(TransportId transport);
    TransportId Transport() const { return current; }

    enum class Route
    {
        Drop,     // no transport
        Overflow, // the queue holds its bound
        WriteNow, // the transport is idle: write the sender's bytes at once
        Queued,   // a copy waits behind the write in flight
    };
    struct Routing
    {
        Route route = Route::Drop;
        bool overflowBegins = false; // the first command dropped since the queue last drained
    };
    // Where a new command goes; Queued keeps a copy of the bytes.
    Routing Send(CommandSender sessionId, std::int32_t priority, const char* bytes,
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

    // The next waiting command, when the current transport is idle: to be
    // written at once like a new one.
    std::optional<CameraCommand> TakeNext();

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

    TransportId current = NoTransport;
    // At most one write in flight per transport; the writes of replaced
    // transports stay here until they end (as aborted, once the socket is
    // closed). A list, so that the bytes of a write stay where the transport
    // was told they are.
    std::list<InFlight> inFlight;
    CommandQueue queue; // the current transport's, behind its write in flight
    bool overflowing = false;
};

} // namespace korvel
