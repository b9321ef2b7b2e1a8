#pragma once

#include "loop/Outcome.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// The states of a track camera's link, and what leaves them. Network:
//
//   NoSocket          a resolution with endpoints: Connecting; a failed
//                     one: WithoutTransport, for good
//   Connecting        connected: Connected; the last endpoint failed:
//                     Waiting, with the retry wait set
//   Connected         a command write failed: Waiting, and a new resolution
//   Waiting           the retry wait expired, or a command write failed: a
//                     new resolution
//
// and every resolution with endpoints makes a new socket: Connecting. A
// connection cancels the retry wait. Commands are written whenever the
// newest socket is there, whatever its connection state: a socket still
// connecting carries them once connected; on one whose connection failed or
// broke they fail at once, and each such failure starts a resolution of its
// own (two failures, two resolutions, each replacing the socket as it
// completes), so an operator's next command brings back a camera that came
// back into reach without waiting for the retry interval. The attempt of a
// socket that a newer resolution replaced ends like any other on its last
// endpoint, setting the retry wait (which the newer socket's own attempt then
// cancels or sets anew), but never touches the newer socket.
//
// Serial: Open, or WithoutTransport when the device could not be opened at
// start (for good); PortClosed when a reopen after a failed write failed:
// the port is opened again before the next command.
enum class LinkState
{
    NoSocket,
    Connecting,
    Connected,
    Waiting,
    Open,
    PortClosed,
    WithoutTransport,
    Stopped,
};

// What the transport does next, in this order.
struct LinkActions
{
    std::string logLine;    // empty: nothing to log
    bool closeAll = false;  // cancel the resolution and the retry wait, close the socket or port
    bool newSocket = false; // replace the socket (which closes the old one)
    std::optional<std::size_t>
        connectTo; // endpoint to connect to, closing the socket first unless new
    bool cancelRetryWait = false;
    std::optional<std::chrono::seconds> retryWait; // set the retry timer and wait on it
    bool resolve = false;                          // resolve the camera's host and port
    bool reopen = false; // serial: close the port and open it again with the configured settings
};

// The link's state and every rule of how it changes; the transport (socket,
// resolver, timer or serial port) carries out the actions each transition
// returns and reports back. Completions carry the tag they were started
// with (socket generation, retry wait number) so that stale ones are ignored.
// No I/O; everything runs on the I/O loop thread.
class LinkStateMachine
{
public:
    // address and port as configured; a serial camera's port is its device.
    static LinkStateMachine Network(const std::string& address, const std::string& port,
                                    int retryIntervalSecs);
    static LinkStateMachine Serial(const std::string& device, bool openedAtStart);

    LinkState State() const { return state; }
    // Commands are handed to the transport (a socket that could not even be
    // opened still drops them: the transport knows).
    bool WritesCommands() const;
    std::uint64_t SocketGeneration() const { return socketGeneration; }
    std::uint64_t RetryWaitNumber() const { return retryWait; }
    // The interval of the retry waits set from now on (a wait under way
    // keeps its length).
    void SetRetryInterval(int seconds) { retryIntervalSecs = seconds; }

    // Network.
    LinkActions Start();
    LinkActions ResolveEnded(Outcome outcome, std::size_t endpoints, const std::string& reason);
    // generation: the socket's, endpoint: which of its resolution's
    // endpointCount endpoints it tried.
    LinkActions ConnectEnded(std::uint64_t generation, std::size_t endpoint,
                             std::size_t endpointCount, Outcome outcome, const std::string& reason);
    LinkActions RetryWaitEnded(std::uint64_t wait, Outcome outcome);
    // Network and serial.
    LinkActions CommandWriteFailed(const std::string& reason);
    LinkActions Stop();
    // Serial: before a command is written; reopens a port left closed.
    LinkActions CommandWaiting();
    LinkActions ReopenEnded(bool portOpen, const std::string& failure);

private:
    LinkStateMachine(bool serial, LinkState state, std::string address, std::string port,
                     int retrySecs);
    void Resolve(LinkActions& actions);
    // Only the first connection or send failure of a camera is logged; the
    // recovery runs every time.
    void ReportTrouble(LinkActions& actions, const std::string& text, const std::string& reason);

    bool serial;
    LinkState state;
    std::string address; // the camera's address, or its serial device
    std::string port;
    int retryIntervalSecs = 0;
    std::uint64_t socketGeneration = 0;
    std::uint64_t retryWait = 0; // the wait whose expiry may retry; 0 = none
    std::uint64_t retryWaitsStarted = 0;
    bool troubleReported = false;
};

} // namespace korvel
