#pragma once

#include "camsim/SimulatedCamera.h"
#include "common/PelcoDecoder.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvel {

// The totals over every line, for the summary at the end.
struct CameraTotals
{
    std::uint64_t frames = 0;
    std::uint64_t badChecksums = 0;
    std::uint64_t skippedBytes = 0;
};

// One link that carries camera commands (a TCP port or a pseudo-terminal),
// with the simulated cameras on it, one per camera number. Prints one line
// per event, each with a time stamp and the line's label.
class CameraLine
{
public:
    CameraLine(std::string label, CameraTotals& totals);

    const std::string& Label() const { return label; }
    // Shows what a decoder found in bytes that arrived now.
    void Show(const std::vector<PelcoEvent>& events);
    // A line of text about the link itself ("connection from ...").
    void Note(const std::string& text) const;

private:
    std::string Stamp() const;

    std::string label;
    CameraTotals& totals;
    // By camera number, whichever layout addresses it.
    std::map<int, SimulatedCamera> cameras;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

} // namespace korvel
