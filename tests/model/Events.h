#pragma once

// The events of a simulated run and the world they happen in, for the
// reference model (Model) and the simulator of the real code (Simulator):
// each event is a kind and up to three small numbers, read modulo what
// exists when it happens, so that any subsequence of a run is a run too
// (which is what shrinking needs). A run is written one event a line
// (ReadRun, WriteRun), and shown as a table (RunTable).
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace korvel::model {

enum class EventKind
{
    Connect,      // a: session number (one of a few), b: client address
    Login,        // a: client, b: user (or a name no user has), c: 1 right password, 0 wrong
    Choose,       // a: client
    Cancel,       // a: client
    Command,      // a: client, b: Pelco address (one no camera has too), c: 1 two frames in one receive
    Hangup,       // a: client: the workstation closes its connection
    BreakNotices, // a: client: the next notice written to it fails
    Resolve,      // a: camera, b: endpoints (0: the lookup fails): the oldest lookup ends
    Answer,       // a: camera, b: 1 accepted, 0 refused: the newest socket's connect ends
    Drop,         // a: camera: its connected socket breaks
    Stall,        // a: camera, b: 1 the socket takes nothing more at once, 0 it drains
    Advance,      // a: milliseconds
    Trigger,      // a: camera: its soft trigger fires
    Reload,       // a: 0 camera, 1 user, 2 priority, 3 RequireLogin, 4 lock time, 5 retry
                  // interval; b: which; c: the value
    Name,         // a: camera, b: which name: the NVR names the camera
    Serial,       // a: 0 the serial camera's write completes, 1 it fails, 2 its device
                  // goes, 3 it comes back
};

struct Event
{
    EventKind kind = EventKind::Advance;
    int a = 0;
    int b = 0;
    int c = 0;

    bool operator==(const Event&) const = default;
};

// The configured world a run starts from; the seed picks it.
struct World
{
    bool requireLogin = false;
    int lockTimeMs = 5000;
    int retryIntervalSecs = 3;
    int loginTimeoutMs = 20000;
    bool throttleLogins = false;
};

inline constexpr int CameraSlots = 5;
inline constexpr int UserCount = 4;
inline constexpr int ClientsInReach = 6;
inline constexpr int SessionNumbers = 3;
inline constexpr int ReloadKinds = 6;
// Camera slot s: address CameraAddress(s), Pelco number CameraPelco[s];
// slot 3 shares its Pelco number with another and is not there at start;
// the last one is a serial camera on SerialDevice.
inline constexpr unsigned CameraPelco[CameraSlots] = {1, 2, 3, 2, 4};
inline constexpr unsigned UnknownPelco = 9;
inline constexpr bool CameraAtStart[CameraSlots] = {true, true, true, false, true};
inline constexpr int SerialSlot = 4;
inline constexpr const char* SerialDevice = "/dev/ttyS9";
std::string CameraAddress(int slot);
struct UserSpec
{
    const char* name;
    const char* password; // empty: any password passes
    int priority;
};
inline constexpr UserSpec Users[UserCount] = {
    {"alice", "a1", 1}, {"bob", "b2", 2}, {"carol", "c3", 2}, {"dave", "", 4}};
// The name a Login's b logs in with: a user's, or (the last) one no user has.
inline constexpr int LoginNames = UserCount + 1;
std::string LoginName(int b);
// What it sends as the password, right or wrong.
std::string LoginPassword(int b, bool right);
// The NVR's name b for the camera in slot a.
std::string NvrName(int slot, int b);
// Session number a of a Connect, and client address b.
std::uint16_t SessionNumberOf(int a);
std::string ClientAddressOf(int b);
// The bytes a command sends: one frame (or two) for the Pelco address,
// tagged with the run's count of commands so that each is told apart.
std::string CommandBytes(unsigned pelco, std::uint32_t serial, bool twoFrames);
// The command's serial back from its bytes.
std::uint32_t CommandSerial(const std::string& bytes);

struct Run
{
    std::uint64_t seed = 0;
    World world;
    std::vector<Event> events;
};

World WorldOf(std::uint64_t seed);
// `steps` events drawn from the seed.
Run RandomRun(std::uint64_t seed, std::size_t steps);

std::string EventText(const Event& event);
std::optional<Event> ParseEvent(const std::string& line);
// "seed", "world" and one event a line; '#' starts a comment.
void WriteRun(std::ostream& out, const Run& run);
std::optional<Run> ReadRun(std::istream& in, std::string& error);
// The run as a numbered table, each event with what it means.
std::string RunTable(const Run& run);

} // namespace korvel::model
