#pragma once

// The camera simulator (camsim) as a process of its own, so that a test can
// kill a track camera and start it again (support/NvrSimulator.h does the
// same for an NVR).
#include "support/PelcoFrame.h"
#include "support/Process.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// camsim with one TCP camera (`--listen HOST:PORT`, port 0 for a free one)
// or one pseudo-terminal camera (`--pty`).
class Camsim
{
public:
    static std::unique_ptr<Camsim> Tcp(std::uint16_t port = 0,
                                       const std::string& host = "127.0.0.1");
    static std::unique_ptr<Camsim> Pty();

    std::uint16_t Port() const { return port; }
    const std::string& Device() const { return device; }

    // Connections accepted so far (TCP cameras).
    int Connections() const;
    // The numbers of the NumberedFrame frames received so far, in order.
    std::vector<unsigned> Numbers() const;
    // Every frame received so far, in order, as camsim shows its bytes
    // ("FF 03 00 00 00 00 03").
    std::vector<std::string> Frames() const;
    // Waits until the frame with that number has arrived.
    bool WaitForNumber(unsigned number,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    std::string Output() const { return process->Stdout() + process->Stderr(); }

    // SIGKILL: the camera vanishes without a word; its connection or
    // pseudo-terminal goes with the process.
    void Kill();

private:
    explicit Camsim(const std::vector<std::string>& arguments);

    std::unique_ptr<Process> process;
    std::uint16_t port = 0;
    std::string device;
};

} // namespace korvel
