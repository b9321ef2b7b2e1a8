#pragma once

// The NVR simulator (nvrsim) as a process of its own, scripted through its
// control port, for every test that needs an NVR.
//
// One convention for failures: what the harness cannot do (start the
// simulator, get an answer, have a command carried out) throws
// std::runtime_error, which fails the test with the reason. A test that wants
// to see an error answer takes the whole answer from Answer.
#include "support/Process.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

class NvrSimulator
{
public:
    // listen: HOST:PORT, port 0 for a free one. records: commands carried
    // out before the constructor returns ("user op secret", "camera ...");
    // they go to its standard input before it listens, so that they hold
    // for a client already trying to connect. arguments: more for its
    // command line ("-v" logs every request). Its standard input stays open
    // for Proc().WriteStdin.
    explicit NvrSimulator(const std::string& listen = "127.0.0.1:0",
                          const std::vector<std::string>& records = {},
                          const std::vector<std::string>& arguments = {});
    // Ends a simulator that still runs with "quit". A test failure when it
    // ended otherwise than cleanly (exit status 0, no sanitizer report),
    // unless Kill ended it.
    ~NvrSimulator();
    NvrSimulator(const NvrSimulator&) = delete;
    NvrSimulator& operator=(const NvrSimulator&) = delete;

    const std::string& Host() const { return host; }
    std::uint16_t Port() const { return port; }
    std::uint16_t ControlPort() const { return controlPort; }

    // Carries out one control command and returns the lines of its answer
    // before "ok"; throws when the answer is "error: ...".
    std::string Command(const std::string& line);
    std::string Dump() { return Command("dump"); }
    // The whole answer to one control line, its last line ("ok" or
    // "error: ...") included.
    std::string Answer(const std::string& line);

    // Ends the simulator with "quit" and waits for it.
    void Quit();
    // SIGKILL: the NVR vanishes with every session it had.
    void Kill();

    Process& Proc() { return *process; }
    const Process& Proc() const { return *process; }

private:
    void CloseControl();

    std::unique_ptr<Process> process;
    std::string host;
    std::uint16_t port = 0;
    std::uint16_t controlPort = 0;
    int control = -1;
    std::string pending; // control bytes received past the last answer
    bool killed = false;
};

class OperatorClient;

// CHOOSE reaches the service by the operator's connection and a fired trigger
// by the NVR's, so either may come first and nothing answers CHOOSE: fire
// again until the camera is handed over. Once it is, the operator is no
// longer choosing and a later fire hands over nothing. Returns what the
// chooser got, as long as the handover message.
std::string FireUntilHandedOver(NvrSimulator& nvr, OperatorClient& chooser,
                                const std::vector<std::string>& fires, const std::string& handover);

} // namespace korvel
