#pragma once

#include "BenchFrame.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvel {

// What each session of a run sent, and what of it reached a camera.
struct FrameTally
{
    std::size_t sent = 0;       // measured frames the operators sent
    std::size_t delivered = 0;  // of those, arrived at a camera
    std::size_t refused = 0;    // not arrived, from sessions the arbitration refuses by design
    std::size_t lost = 0;       // not arrived, from sessions whose frames are admitted
    std::size_t unexpected = 0; // arrived although the arbitration should have refused them
    std::size_t duplicates = 0; // arrived more than once
    std::size_t misrouted = 0;  // arrived at another camera than the one addressed
    std::size_t strays = 0;     // well-formed frames no session of this run sent
};

class FrameLedger
{
public:
    // A session that sends sequence numbers 0 .. capacity-1 to `camera`.
    // Its frames are expected at the camera unless ExpectDelivery says not.
    std::uint16_t AddSession(std::uint8_t camera, std::size_t capacity);
    void ExpectDelivery(std::uint16_t session, bool expected);
    std::size_t Sessions() const { return sessions.size(); }
    std::uint8_t CameraOf(std::uint16_t session) const { return sessions[session].camera; }

    BenchFrame::Bytes Frame(std::uint16_t session, std::uint16_t sequence) const;
    // A measured frame counts in the tally and the latencies; set-up frames
    // (camera selection, warm-up) do not.
    void RecordSend(std::uint16_t session, std::uint16_t sequence, std::int64_t nanos,
                    bool measured);
    void RecordArrival(const BenchFrame::Tag& tag, std::int64_t nanos, bool misrouted);

    bool Arrived(std::uint16_t session, std::uint16_t sequence) const;
    std::int64_t SendTime(std::uint16_t session, std::uint16_t sequence) const;
    // When the last frame to arrive arrived; 0 before any.
    std::int64_t LastArrival() const;
    // Every frame sent so far by a session whose frames are expected has arrived.
    bool ExpectedAllArrived() const { return expectedArrived >= expectedSent; }

    FrameTally Tally() const;
    // Send-to-arrival times of the measured frames that arrived.
    std::vector<std::int64_t> Latencies() const;

    // Runs after each recorded arrival.
    std::function<void(const BenchFrame::Tag&)> onArrival;

private:
    struct Session
    {
        std::uint8_t camera = 0;
        bool expectDelivery = true;
        std::vector<std::int64_t> sent;    // 0: not sent
        std::vector<std::int64_t> arrived; // 0: not arrived
        std::vector<bool> measured;
    };

    std::vector<Session> sessions;
    std::size_t expectedSent = 0;
    std::size_t expectedArrived = 0;
    std::size_t duplicates = 0;
    std::size_t misrouted = 0;
    std::size_t strays = 0;
};

} // namespace korvel
