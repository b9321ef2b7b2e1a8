#pragma once

#include "common/PelcoCommand.h"

#include <map>
#include <string>

namespace korvel {

// The pan, tilt and zoom of one simulated camera, moving as its last command
// says until the next one. Time is given by the caller, in seconds.
//
// Speeds: pan and tilt move by their speed value in degrees per second
// (turbo: 100); zoom runs at 2x per second between 1x and 30x. Pan wraps at
// 360 degrees, tilt stops at +-90.
class SimulatedCamera
{
public:
    struct Position
    {
        double pan = 0;
        double tilt = 0;
        double zoom = 1;
    };

    // Moves the camera on to the given time.
    void AdvanceTo(double seconds);
    // Applies a command at the current time; returns a note for the operator
    // when the command could not be carried out (an unknown preset), else "".
    std::string Apply(const PelcoCommand& command);

    const Position& GetPosition() const { return position; }
    // "pan 12.5 tilt -3.0 zoom 1.0x"
    std::string PositionText() const;

private:
    Position position;
    double panRate = 0;  // degrees per second, right is positive
    double tiltRate = 0; // degrees per second, up is positive
    double zoomRate = 0; // factor per second, in is positive
    double now = 0;
    bool started = false;
    std::map<int, Position> presets;
};

} // namespace korvel
