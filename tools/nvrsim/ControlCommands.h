#pragma once

// The control language of the simulator (tools/nvrsim/README.md): one
// command a line, answered by zero or more lines and then "ok" or
// "error: <reason>".

#include "NvrModel.h"
#include "SimServer.h"

#include <cstddef>
#include <functional>
#include <string>

namespace nvrsim {

// The longest command line the simulator reads, from standard input or a
// control connection.
constexpr std::size_t MaxLineLength = 4096;

class ControlCommands
{
public:
    ControlCommands(NvrModel& model, SimServer& server) : model(model), server(server) {}

    struct Answer
    {
        std::string text; // every line ends with "\n"; empty for a blank line
        bool quit = false;
    };

    Answer Execute(const std::string& line);

private:
    NvrModel& model;
    SimServer& server;
};

} // namespace nvrsim
