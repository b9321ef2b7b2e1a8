#pragma once

#include "BenchFrame.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvel {

// How the service counted the commands of one camera (tlkorvel_commands_total).
struct CommandCounts
{
    std::uint64_t forwarded = 0;
    std::uint64_t refused = 0;
    std::uint64_t dropped = 0;
    std::uint64_t failed = 0;
    std::uint64_t Total() const { return forwarded + refused + dropped + failed; }
};

// The service's counters that the soak reconciles, as /metrics gives them.
struct ServiceCounters
{
    std::map<std::uint8_t, CommandCounts> commands; // by Pelco number
    std::uint64_t unknownCamera = 0;
    std::uint64_t noticesSent = 0;
};

// Reads the counters out of a /metrics answer; false when a family is missing.
bool ParseServiceCounters(const std::string& metrics, ServiceCounters& counters);

// What one round (from one quiet point to the next) came to.
struct RoundTally
{
    std::size_t sent = 0;        // frames the operators sent
    std::size_t delivered = 0;   // arrived at a camera, once each
    std::size_t refused = 0;     // the service's count: refused by the priority test
    std::size_t dropped = 0;     // ... not written (no socket, camera removed, ...)
    std::size_t failed = 0;      // ... their write failed
    std::size_t unknown = 0;     // ... for a Pelco number no camera had
    std::size_t lostInDrops = 0; // forwarded, not arrived, in flight when the camera dropped
    std::size_t lost = 0;        // forwarded (admitted and written), never arrived
    std::size_t unaccounted = 0; // sent but in no outcome of the service's (or in too many)
    std::size_t duplicates = 0;
    std::size_t outOfOrder = 0;
    std::size_t stale = 0;
    std::size_t misrouted = 0;
    std::size_t strays = 0;
    std::uint64_t noticesDue = 0;
    std::uint64_t noticesReceived = 0;

    RoundTally& operator+=(const RoundTally& other);
    // Something admitted went astray, or the books do not balance.
    bool Faulty() const
    {
        return lost || unaccounted || duplicates || outOfOrder || stale || misrouted || strays ||
               noticesDue != noticesReceived;
    }
};

// The soak's book of frames: every frame an operator sends carries its
// sender and sequence number (BenchFrame), every camera connection reports
// what arrived on it, and at each quiet point the round's frames are set
// against the service's counters. Times are nanoseconds on one clock.
//
// A frame is stale when it arrives on a camera's connection although it was
// sent before that camera's previous connection ended: the service must
// never carry a command over from one socket to the next. A frame is out of
// order when it arrives after a later frame of the same sender to the same
// camera.
class SoakLedger
{
public:
    // A frame that the camera dropping its connection may take with it: one
    // sent this long before the drop, or after it.
    static constexpr std::int64_t DropWindowNanos = 1'000'000'000;

    // The next frame of `session` to `camera`, recorded as sent at `now`.
    BenchFrame::Bytes Send(std::uint16_t session, std::uint8_t camera, std::int64_t now);

    // A camera connection (numbered by the camera from 1) began or ended.
    void ConnectionOpened(std::uint8_t camera, std::uint32_t connection, std::int64_t now);
    void ConnectionEnded(std::uint8_t camera, std::uint32_t connection, std::int64_t now);
    // The camera itself closed its connections at `now`.
    void CameraDropped(std::uint8_t camera, std::int64_t now);
    // A well-formed frame arrived at camera `camera` on `connection`.
    void Arrival(std::uint8_t camera, std::uint32_t connection, const BenchFrame::Tag& tag,
                 std::int64_t now);
    void NoticesReceived(std::uint64_t count) { notices += count; }

    // Closes the round at a quiet point: `before` and `after` are the
    // service's counters at the two quiet points.
    RoundTally CloseRound(const ServiceCounters& before, const ServiceCounters& after);

private:
    struct Frame
    {
        std::uint8_t camera = 0;
        std::int64_t sent = 0;
        std::uint32_t arrivals = 0;
    };
    struct Sender
    {
        std::vector<Frame> frames;                // by sequence number
        std::map<std::uint8_t, std::uint16_t> last; // last sequence arrived, by camera
    };
    struct Connection
    {
        std::int64_t opened = 0;
        std::int64_t ended = -1; // -1: open
    };

    std::map<std::uint16_t, Sender> senders;
    std::map<std::uint8_t, std::map<std::uint32_t, Connection>> connections;
    std::map<std::uint8_t, std::vector<std::int64_t>> drops;
    struct Pending
    {
        std::uint16_t session;
        std::uint16_t sequence;
    };
    std::vector<Pending> roundFrames; // sent this round
    std::map<std::uint8_t, std::size_t> roundArrivals;
    RoundTally round;
    std::uint64_t notices = 0;
};

// Resident memory, descriptors and threads of a process, at one quiet point.
struct ProcessGauge
{
    std::size_t residentKilobytes = 0;
    std::size_t descriptors = 0; // open, less the connections to operators and cameras
    std::size_t connections = 0; // those connections
    std::size_t threads = 0;
};

// Growth beyond `allowance` (0.02: 2%) from `first` to `last`: the names
// of what grew, empty when nothing did.
std::string GrowthBeyond(const ProcessGauge& first, const ProcessGauge& last, double allowance);

} // namespace korvel
