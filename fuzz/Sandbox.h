#pragma once

#include <string>

// Keeps a fuzz target that reads configurations away from the machine:
// while this object lives, the program's name resolution answers numeric
// addresses only (no lookup leaves the process), and no device opens except
// the target's own pseudo-terminal, which a camera reaches under the serial
// port name SerialPortName. Other files open as usual.
class Sandbox
{
public:
    static constexpr const char* SerialPortName = "fuzz-serial-line";

    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // A fresh folder of the sandbox's own, with a trailing separator.
    const std::string& Folder() const { return folder; }

private:
    std::string folder;
    int master = -1;
    int slave = -1;
};
