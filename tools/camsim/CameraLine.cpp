#include "camsim/CameraLine.h"

#include "common/PelcoFrames.h"

#include <cstdio>
#include <ctime>
#include <iostream>

namespace korvel {

namespace {

// Noise can be long; a few bytes show what it is.
const std::size_t MaxNoiseShown = 32;

std::string ClockTime()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis));
    return text;
}

} // namespace

CameraLine::CameraLine(std::string label, CameraTotals& totals)
    : label(std::move(label)), totals(totals)
{}

std::string CameraLine::Stamp() const
{
    return ClockTime() + " " + label + " ";
}

void CameraLine::Note(const std::string& text) const
{
    std::cout << Stamp() << text << std::endl;
}

void CameraLine::Show(const std::vector<PelcoEvent>& events)
{
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const PelcoEvent& event : events) {
        switch (event.kind) {
        case PelcoEvent::Kind::Frame: {
            ++totals.frames;
            const PelcoCommand command = InterpretPelco(event.protocol, event.bytes);
            SimulatedCamera& camera = cameras[command.camera];
            camera.AdvanceTo(now);
            const std::string position = camera.PositionText();
            const std::string note = camera.Apply(command);
            std::cout << Stamp() << "camera " << command.camera << " " << PelcoName(event.protocol)
                      << " [" << HexBytes(event.bytes) << "] " << DescribePelco(command)
                      << (note.empty() ? "" : " (" + note + ")") << " | position " << position
                      << std::endl;
            break;
        }
        case PelcoEvent::Kind::BadChecksum: {
            ++totals.badChecksums;
            const std::uint8_t expected = event.protocol == PelcoProtocol::D
                                              ? Pelco::DChecksum(event.bytes.data())
                                              : Pelco::PChecksum(event.bytes.data());
            std::cout << Stamp() << "bad checksum in " << PelcoName(event.protocol) << " frame ["
                      << HexBytes(event.bytes) << "], expected " << HexByte(expected)
                      << " (bad frames so far: " << totals.badChecksums << ")" << std::endl;
            break;
        }
        case PelcoEvent::Kind::Noise: {
            totals.skippedBytes += event.bytes.size();
            const bool cut = event.bytes.size() > MaxNoiseShown;
            const Bytes shown(event.bytes.begin(),
                              event.bytes.begin() + (cut ? MaxNoiseShown : event.bytes.size()));
            std::cout << Stamp() << event.bytes.size() << " bytes outside any frame ["
                      << HexBytes(shown) << (cut ? " ..." : "") << "]" << std::endl;
            break;
        }
        }
    }
}

} // namespace korvel
