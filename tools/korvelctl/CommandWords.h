#pragma once

#include "common/HexText.h"

#include <chrono>
#include <string>
#include <vector>

namespace korvel {

// One operator command, as typed or scripted.
struct OperatorCommand
{
    enum class Kind
    {
        Login,  // LOGIN NAME PASSWORD
        Choose, // CHOOSE
        Cancel, // CANCEL
        Camera, // steer camera N from now on; sends nothing
        Steer,  // one Pelco-D frame for the current camera
        Raw,    // the given bytes, unchanged
        Sleep,  // wait before the next command
        Help,
        Quit,
    };
    enum class Move
    {
        Left,
        Right,
        Up,
        Down,
        ZoomIn,
        ZoomOut,
        Stop,
        PresetSet,
        PresetClear,
        PresetGo
    };

    Kind kind = Kind::Help;
    std::string name;     // Login
    std::string password; // Login
    int number = 0;       // Camera: the camera; Steer: the speed or preset
    Move move = Move::Stop;
    Bytes raw;
    std::chrono::milliseconds sleep{0};
};

// Reads commands separated by ";" or line ends; blank commands are skipped.
// On a word it does not know, returns false with the reason in 'error' and
// leaves 'commands' as it was.
bool ParseCommands(const std::string& text, std::vector<OperatorCommand>& commands,
                   std::string& error);

// The message a command sends to the service ("LOGIN a b", "CHOOSE", or a
// Pelco-D frame addressed to 'camera'); empty for commands that send nothing.
Bytes MessageFor(const OperatorCommand& command, int camera);

// The commands, for "help" and the usage text.
extern const char* const CommandHelp;

} // namespace korvel
