#include "SoakLedger.h"

#include <algorithm>
#include <iterator>
#include <sstream>

namespace korvel {

namespace {

// The value of the sample that starts with `head` (name and labels), or -1.
bool Sample(const std::string& metrics, const std::string& head, std::uint64_t& value)
{
    std::size_t at = 0;
    while ((at = metrics.find(head, at)) != std::string::npos) {
        if ((at == 0 || metrics[at - 1] == '\n') && at + head.size() < metrics.size() &&
            metrics[at + head.size()] == ' ') {
            value = std::stoull(metrics.substr(at + head.size() + 1));
            return true;
        }
        at += head.size();
    }
    return false;
}

} // namespace

bool ParseServiceCounters(const std::string& metrics, ServiceCounters& counters)
{
    counters = {};
    const std::string family = "tlkorvel_commands_total{camera=\"";
    for (std::size_t at = metrics.find(family); at != std::string::npos;
         at = metrics.find(family, at + 1)) {
        if (at > 0 && metrics[at - 1] != '\n')
            continue;
        const std::size_t numberStart = at + family.size();
        const std::size_t numberEnd = metrics.find('"', numberStart);
        const std::string outcomeKey = "\",outcome=\"";
        if (numberEnd == std::string::npos || metrics.compare(numberEnd, outcomeKey.size(), outcomeKey) != 0)
            continue;
        const std::size_t outcomeStart = numberEnd + outcomeKey.size();
        const std::size_t outcomeEnd = metrics.find("\"} ", outcomeStart);
        if (outcomeEnd == std::string::npos)
            continue;
        const unsigned long number = std::stoul(metrics.substr(numberStart, numberEnd - numberStart));
        const std::string outcome = metrics.substr(outcomeStart, outcomeEnd - outcomeStart);
        const std::uint64_t value = std::stoull(metrics.substr(outcomeEnd + 3));
        CommandCounts& counts = counters.commands[static_cast<std::uint8_t>(number)];
        if (outcome == "forwarded")
            counts.forwarded = value;
        else if (outcome == "refused")
            counts.refused = value;
        else if (outcome == "dropped")
            counts.dropped = value;
        else if (outcome == "failed")
            counts.failed = value;
    }
    return Sample(metrics, "tlkorvel_commands_total{outcome=\"unknown_camera\"}",
                  counters.unknownCamera) &&
           Sample(metrics, "tlkorvel_notices_sent_total", counters.noticesSent);
}

RoundTally& RoundTally::operator+=(const RoundTally& other)
{
    sent += other.sent;
    delivered += other.delivered;
    refused += other.refused;
    dropped += other.dropped;
    failed += other.failed;
    unknown += other.unknown;
    lostInDrops += other.lostInDrops;
    lost += other.lost;
    unaccounted += other.unaccounted;
    duplicates += other.duplicates;
    outOfOrder += other.outOfOrder;
    stale += other.stale;
    misrouted += other.misrouted;
    strays += other.strays;
    noticesDue += other.noticesDue;
    noticesReceived += other.noticesReceived;
    return *this;
}

BenchFrame::Bytes SoakLedger::Send(std::uint16_t session, std::uint8_t camera, std::int64_t now)
{
    std::vector<Frame>& frames = senders[session].frames;
    const auto sequence = static_cast<std::uint16_t>(frames.size());
    frames.push_back({camera, now, 0});
    roundFrames.push_back({session, sequence});
    ++round.sent;
    return BenchFrame::Build({camera, session, sequence});
}

void SoakLedger::ConnectionOpened(std::uint8_t camera, std::uint32_t connection, std::int64_t now)
{
    connections[camera][connection] = {now, -1};
}

void SoakLedger::ConnectionEnded(std::uint8_t camera, std::uint32_t connection, std::int64_t now)
{
    Connection& ended = connections[camera][connection];
    if (ended.ended < 0)
        ended.ended = now;
}

void SoakLedger::CameraDropped(std::uint8_t camera, std::int64_t now)
{
    drops[camera].push_back(now);
}

void SoakLedger::Arrival(std::uint8_t camera, std::uint32_t connection, const BenchFrame::Tag& tag,
                         std::int64_t now)
{
    (void)now;
    const auto sender = senders.find(tag.session);
    if (sender == senders.end() || tag.sequence >= sender->second.frames.size()) {
        ++round.strays;
        return;
    }
    Frame& frame = sender->second.frames[tag.sequence];
    if (frame.camera != tag.camera || tag.camera != camera) {
        ++round.misrouted;
        return;
    }
    if (++frame.arrivals > 1) {
        ++round.duplicates;
        return;
    }
    ++round.delivered;
    ++roundArrivals[camera];
    const auto last = sender->second.last.find(camera);
    if (last != sender->second.last.end() && last->second > tag.sequence)
        ++round.outOfOrder;
    else
        sender->second.last[camera] = tag.sequence;
    // Sent before the connection before this one ended: carried over.
    const auto& camerasConnections = connections[camera];
    const auto current = camerasConnections.find(connection);
    if (current != camerasConnections.end() && current != camerasConnections.begin()) {
        const Connection& previous = std::prev(current)->second;
        if (previous.ended >= 0 && frame.sent < previous.ended && frame.sent < current->second.opened)
            ++round.stale;
    }
}

RoundTally SoakLedger::CloseRound(const ServiceCounters& before, const ServiceCounters& after)
{
    RoundTally tally = round;
    std::uint64_t outcomes = 0;
    // Per camera: what the service wrote whole and what arrived.
    std::map<std::uint8_t, std::size_t> inFlightAtDrop;
    for (const Pending& pending : roundFrames) {
        const Frame& frame = senders[pending.session].frames[pending.sequence];
        if (frame.arrivals > 0)
            continue;
        for (std::int64_t drop : drops[frame.camera])
            if (frame.sent >= drop - DropWindowNanos && frame.sent <= drop + DropWindowNanos / 10) {
                ++inFlightAtDrop[frame.camera];
                break;
            }
    }
    for (const auto& [camera, counts] : after.commands) {
        CommandCounts was;
        if (const auto found = before.commands.find(camera); found != before.commands.end())
            was = found->second;
        const std::uint64_t forwarded = counts.forwarded - was.forwarded;
        tally.refused += counts.refused - was.refused;
        tally.dropped += counts.dropped - was.dropped;
        tally.failed += counts.failed - was.failed;
        outcomes += counts.Total() - was.Total();
        const std::size_t arrived = roundArrivals[camera];
        if (arrived > forwarded) {
            tally.unaccounted += arrived - forwarded; // arrived, never counted written
        } else {
            const std::size_t missing = forwarded - arrived;
            const std::size_t excused = std::min(missing, inFlightAtDrop[camera]);
            tally.lostInDrops += excused;
            tally.lost += missing - excused;
        }
    }
    tally.unknown = after.unknownCamera - before.unknownCamera;
    outcomes += tally.unknown;
    if (outcomes != tally.sent)
        tally.unaccounted += outcomes > tally.sent ? outcomes - tally.sent : tally.sent - outcomes;
    tally.noticesDue = after.noticesSent - before.noticesSent;
    tally.noticesReceived = notices;

    round = {};
    roundFrames.clear();
    roundArrivals.clear();
    notices = 0;
    for (auto& [camera, times] : drops)
        times.clear();
    return tally;
}

std::string GrowthBeyond(const ProcessGauge& first, const ProcessGauge& last, double allowance)
{
    std::ostringstream grew;
    const auto check = [&](const char* name, std::size_t from, std::size_t to) {
        if (static_cast<double>(to) > static_cast<double>(from) * (1.0 + allowance))
            grew << (grew.tellp() > 0 ? ", " : "") << name << " " << from << " -> " << to;
    };
    check("resident kB", first.residentKilobytes, last.residentKilobytes);
    check("descriptors", first.descriptors, last.descriptors);
    check("threads", first.threads, last.threads);
    return grew.str();
}

} // namespace korvel
