#include "camsim/SimulatedCamera.h"

#include "common/PelcoFrames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvel {

namespace {

const double TurboDegreesPerSecond = 100;
const double ZoomPerSecond = 2;
const double MinZoom = 1;
const double MaxZoom = 30;

double Rate(std::uint8_t speed)
{
    return speed == Pelco::TurboSpeed ? TurboDegreesPerSecond : speed;
}

} // namespace

void SimulatedCamera::AdvanceTo(double seconds)
{
    if (!started) {
        started = true;
        now = seconds;
        return;
    }
    const double elapsed = std::max(0.0, seconds - now);
    now = std::max(now, seconds);
    position.pan = std::fmod(position.pan + panRate * elapsed, 360.0);
    if (position.pan < 0)
        position.pan += 360.0;
    position.tilt = std::clamp(position.tilt + tiltRate * elapsed, -90.0, 90.0);
    position.zoom = std::clamp(position.zoom + zoomRate * elapsed, MinZoom, MaxZoom);
}

std::string SimulatedCamera::Apply(const PelcoCommand& command)
{
    if (!command.extended) {
        // Each motion command states the whole motion: what it leaves out stops.
        panRate = (command.panRight ? Rate(command.panSpeed) : 0) -
                  (command.panLeft ? Rate(command.panSpeed) : 0);
        tiltRate = (command.tiltUp ? Rate(command.tiltSpeed) : 0) -
                   (command.tiltDown ? Rate(command.tiltSpeed) : 0);
        zoomRate = (command.zoomIn ? ZoomPerSecond : 0) - (command.zoomOut ? ZoomPerSecond : 0);
        return "";
    }
    switch (command.code) {
    case Pelco::SetPreset:
        presets[command.argument] = position;
        return "";
    case Pelco::ClearPreset:
        presets.erase(command.argument);
        return "";
    case Pelco::GoToPreset: {
        const auto preset = presets.find(command.argument);
        if (preset == presets.end())
            return "preset " + std::to_string(command.argument) + " is not set";
        position = preset->second;
        panRate = tiltRate = zoomRate = 0;
        return "";
    }
    default:
        return "";
    }
}

std::string SimulatedCamera::PositionText() const
{
    char text[80];
    std::snprintf(text, sizeof text, "pan %.1f tilt %.1f zoom %.1fx", position.pan, position.tilt,
                  position.zoom);
    return text;
}

} // namespace korvel
