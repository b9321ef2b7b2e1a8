#include "korvelctl/Display.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace korvel {

namespace {

const char* const BasicNames[] = {"black", "red",     "green", "yellow",
                                  "blue",  "magenta", "cyan",  "white"};

// The nearest of the eight basic colours: each channel on or off.
int BasicIndex(const ServiceNotice& notice)
{
    return (notice.red >= 0x80 ? 1 : 0) | (notice.green >= 0x80 ? 2 : 0) |
           (notice.blue >= 0x80 ? 4 : 0);
}

} // namespace

ColourMode ColourModeFor(int fileDescriptor)
{
    const char* term = std::getenv("TERM");
    if (!::isatty(fileDescriptor) || term == nullptr || std::strcmp(term, "dumb") == 0 ||
        std::getenv("NO_COLOR") != nullptr)
        return ColourMode::Plain;
    const char* colourTerm = std::getenv("COLORTERM");
    if (colourTerm != nullptr &&
        (std::strcmp(colourTerm, "truecolor") == 0 || std::strcmp(colourTerm, "24bit") == 0))
        return ColourMode::TrueColour;
    return ColourMode::Basic;
}

std::string RenderNotice(const ServiceNotice& notice, ColourMode mode)
{
    if (!notice.coloured)
        return notice.text;
    switch (mode) {
    case ColourMode::Plain:
        return std::string("[") + BasicNames[BasicIndex(notice)] + "] " + notice.text;
    case ColourMode::Basic:
        return "\x1b[1;" + std::to_string(30 + BasicIndex(notice)) + "m" + notice.text + "\x1b[0m";
    case ColourMode::TrueColour:
        return "\x1b[1;38;2;" + std::to_string(notice.red) + ";" + std::to_string(notice.green) +
               ";" + std::to_string(notice.blue) + "m" + notice.text + "\x1b[0m";
    }
    return notice.text;
}

} // namespace korvel
