#include "FrameLedger.h"

#include <algorithm>
#include <stdexcept>

namespace korvel {

std::uint16_t FrameLedger::AddSession(std::uint8_t camera, std::size_t capacity)
{
    if (sessions.size() >= 0xFFFF || capacity > 0x10000)
        throw std::length_error("more sessions or frames than a frame can number");
    Session session;
    session.camera = camera;
    session.sent.assign(capacity, 0);
    session.arrived.assign(capacity, 0);
    session.measured.assign(capacity, false);
    sessions.push_back(std::move(session));
    return static_cast<std::uint16_t>(sessions.size() - 1);
}

void FrameLedger::ExpectDelivery(std::uint16_t session, bool expected)
{
    sessions.at(session).expectDelivery = expected;
}

BenchFrame::Bytes FrameLedger::Frame(std::uint16_t session, std::uint16_t sequence) const
{
    return BenchFrame::Build({sessions[session].camera, session, sequence});
}

void FrameLedger::RecordSend(std::uint16_t session, std::uint16_t sequence, std::int64_t nanos,
                             bool measured)
{
    Session& entry = sessions.at(session);
    entry.sent.at(sequence) = nanos;
    entry.measured[sequence] = measured;
    if (entry.expectDelivery)
        ++expectedSent;
}

void FrameLedger::RecordArrival(const BenchFrame::Tag& tag, std::int64_t nanos, bool wrongCamera)
{
    if (tag.session >= sessions.size() || tag.sequence >= sessions[tag.session].sent.size() ||
        sessions[tag.session].sent[tag.sequence] == 0) {
        ++strays;
        return;
    }
    Session& entry = sessions[tag.session];
    if (wrongCamera)
        ++misrouted;
    if (entry.arrived[tag.sequence] != 0) {
        ++duplicates;
    } else {
        entry.arrived[tag.sequence] = nanos;
        if (entry.expectDelivery)
            ++expectedArrived;
    }
    if (onArrival)
        onArrival(tag);
}

bool FrameLedger::Arrived(std::uint16_t session, std::uint16_t sequence) const
{
    return sessions.at(session).arrived.at(sequence) != 0;
}

std::int64_t FrameLedger::SendTime(std::uint16_t session, std::uint16_t sequence) const
{
    return sessions.at(session).sent.at(sequence);
}

std::int64_t FrameLedger::LastArrival() const
{
    std::int64_t last = 0;
    for (const Session& entry : sessions)
        for (const std::int64_t arrived : entry.arrived)
            last = std::max(last, arrived);
    return last;
}

FrameTally FrameLedger::Tally() const
{
    FrameTally tally;
    for (const Session& entry : sessions) {
        for (std::size_t i = 0; i < entry.sent.size(); ++i) {
            if (entry.sent[i] == 0 || !entry.measured[i])
                continue;
            ++tally.sent;
            const bool arrived = entry.arrived[i] != 0;
            if (arrived)
                ++tally.delivered;
            if (arrived && !entry.expectDelivery)
                ++tally.unexpected;
            if (!arrived)
                ++(entry.expectDelivery ? tally.lost : tally.refused);
        }
    }
    tally.duplicates = duplicates;
    tally.misrouted = misrouted;
    tally.strays = strays;
    return tally;
}

std::vector<std::int64_t> FrameLedger::Latencies() const
{
    std::vector<std::int64_t> latencies;
    for (const Session& entry : sessions)
        for (std::size_t i = 0; i < entry.sent.size(); ++i)
            if (entry.measured[i] && entry.sent[i] != 0 && entry.arrived[i] != 0)
                latencies.push_back(entry.arrived[i] - entry.sent[i]);
    return latencies;
}

} // namespace korvel
