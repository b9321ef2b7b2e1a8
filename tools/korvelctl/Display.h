#pragma once

#include "korvelctl/ServiceMessages.h"

#include <string>

namespace korvel {

// How status colours are shown: as words ("[blue] You have control") where
// escapes would be noise, as the eight basic terminal colours, or exactly.
enum class ColourMode
{
    Plain,
    Basic,
    TrueColour
};

// Colours only for a terminal that is not "dumb", unless NO_COLOR is set;
// exact colours when COLORTERM says the terminal has them.
ColourMode ColourModeFor(int fileDescriptor);

// One line of output (without line end) for a message from the service.
std::string RenderNotice(const ServiceNotice& notice, ColourMode mode);

} // namespace korvel
