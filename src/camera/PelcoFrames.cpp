#include "camera/PelcoFrames.h"

namespace korvel {

namespace {

constexpr std::uint8_t GoToPreset = 0x07;

PelcoFrame Compose(PelcoProtocol protocol, std::uint8_t address, std::uint8_t command2,
                   std::uint8_t data2)
{
    PelcoFrame frame;
    const auto put = [&frame](std::size_t at, std::uint8_t byte) {
        frame.bytes[at] = static_cast<char>(byte);
    };
    if (protocol == PelcoProtocol::D) {
        const std::uint8_t body[] = {address, 0x00, command2, 0x00, data2};
        put(0, 0xFF);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < sizeof body; ++i) {
            put(i + 1, body[i]);
            sum += body[i];
        }
        put(6, static_cast<std::uint8_t>(sum & 0xFF));
        frame.length = 7;
        return frame;
    }
    const std::uint8_t head[] = {0xA0, address, 0x00, command2, 0x00, data2, 0xAF};
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < sizeof head; ++i) {
        put(i, head[i]);
        check ^= head[i];
    }
    put(7, check);
    frame.length = 8;
    return frame;
}

} // namespace

PelcoFrame PelcoStopFrame(PelcoProtocol protocol, std::uint8_t address)
{
    return Compose(protocol, address, 0x00, 0x00);
}

PelcoFrame PelcoGoToPresetFrame(PelcoProtocol protocol, std::uint8_t address, std::uint8_t preset)
{
    return Compose(protocol, address, GoToPreset, preset);
}

} // namespace korvel
