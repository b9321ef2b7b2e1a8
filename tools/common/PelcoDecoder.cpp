#include "common/PelcoDecoder.h"

#include "common/PelcoFrames.h"

namespace korvel {

namespace {

enum class Candidate
{
    Incomplete,
    Good,
    Bad,
    NotAFrame
};

// Judges the bytes at the start of [begin, end) as a frame of the protocol
// their first byte announces.
Candidate Judge(const std::uint8_t* begin, const std::uint8_t* end, PelcoProtocol& protocol,
                std::size_t& length)
{
    const std::size_t available = static_cast<std::size_t>(end - begin);
    if (begin[0] == Pelco::DSync) {
        protocol = PelcoProtocol::D;
        length = Pelco::DLength;
        if (available < length)
            return Candidate::Incomplete;
        return Pelco::DChecksum(begin) == begin[6] ? Candidate::Good : Candidate::Bad;
    }
    if (begin[0] == Pelco::PStart) {
        protocol = PelcoProtocol::P;
        length = Pelco::PLength;
        if (available < length)
            return Candidate::Incomplete;
        if (begin[6] != Pelco::PEnd)
            return Candidate::NotAFrame;
        return Pelco::PChecksum(begin) == begin[7] ? Candidate::Good : Candidate::Bad;
    }
    return Candidate::NotAFrame;
}

} // namespace

std::vector<PelcoEvent> PelcoDecoder::Feed(const std::uint8_t* data, std::size_t length)
{
    pending.insert(pending.end(), data, data + length);

    std::vector<PelcoEvent> events;
    Bytes noise;
    auto flushNoise = [&] {
        if (!noise.empty()) {
            events.push_back({PelcoEvent::Kind::Noise, PelcoProtocol::D, std::move(noise)});
            noise.clear();
        }
    };

    std::size_t position = 0;
    auto advance = [&](std::size_t count) {
        position += count;
        quiet = quiet > count ? quiet - count : 0;
    };

    while (position < pending.size()) {
        const std::uint8_t* begin = pending.data() + position;
        const std::uint8_t* end = pending.data() + pending.size();
        PelcoProtocol protocol = PelcoProtocol::D;
        std::size_t frameLength = 0;
        const Candidate candidate = Judge(begin, end, protocol, frameLength);
        if (candidate == Candidate::Incomplete)
            break;
        if (candidate == Candidate::Good) {
            flushNoise();
            events.push_back(
                {PelcoEvent::Kind::Frame, protocol, Bytes(begin, begin + frameLength)});
            ++frames;
            advance(frameLength);
            quiet = 0;
            continue;
        }
        if (candidate == Candidate::Bad && quiet == 0) {
            flushNoise();
            events.push_back(
                {PelcoEvent::Kind::BadChecksum, protocol, Bytes(begin, begin + frameLength)});
            ++badChecksums;
            quiet = frameLength;
        } else if (quiet == 0) {
            noise.push_back(*begin);
            ++skippedBytes;
        }
        advance(1);
    }
    flushNoise();
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(position));
    return events;
}

} // namespace korvel
