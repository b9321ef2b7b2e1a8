#include "BenchFrame.h"

namespace korvel {

namespace BenchFrame {
namespace {

constexpr std::uint8_t Sync = 0xFF;

std::uint8_t Checksum(const std::uint8_t* frame)
{
    unsigned sum = 0;
    for (std::size_t i = 1; i < Length - 1; ++i)
        sum += frame[i];
    return static_cast<std::uint8_t>(sum);
}

} // namespace

Bytes Build(const Tag& tag)
{
    Bytes frame{Sync,
                tag.camera,
                static_cast<std::uint8_t>(tag.session >> 8),
                static_cast<std::uint8_t>(tag.session),
                static_cast<std::uint8_t>(tag.sequence >> 8),
                static_cast<std::uint8_t>(tag.sequence),
                0};
    frame[Length - 1] = Checksum(frame.data());
    return frame;
}

bool Read(const std::uint8_t* frame, Tag& tag)
{
    if (frame[0] != Sync || frame[Length - 1] != Checksum(frame))
        return false;
    tag.camera = frame[1];
    tag.session = static_cast<std::uint16_t>(frame[2] << 8 | frame[3]);
    tag.sequence = static_cast<std::uint16_t>(frame[4] << 8 | frame[5]);
    return true;
}

} // namespace BenchFrame

} // namespace korvel
