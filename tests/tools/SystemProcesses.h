#pragma once

// Helpers for tests that run the whole system as processes: where each
// program says it listens, which port a process listens on, and what camsim
// has shown.
#include "support/Process.h"
#include "support/ProcessSockets.h"
#include "support/UnusedPort.h"

#include <chrono>
#include <string>
#include <vector>

namespace korvel {

// Waits until the process's standard output has a line that starts with the
// prefix, and returns the rest of that line (empty on timeout).
std::string WaitForLineAfter(const Process& process, const std::string& prefix,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The frames camsim has shown, in order, each as "camera N [FF 01 ...]".
std::vector<std::string> ShownFrames(const std::string& camsimOutput);

// Every text must occur in the output after the position `from`; returns the
// position after the last one, or std::string::npos when one is missing.
std::size_t FindInOrder(const std::string& output, const std::vector<std::string>& texts,
                        std::size_t from = 0);

} // namespace korvel
