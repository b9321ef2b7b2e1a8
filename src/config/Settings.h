#pragma once

// Every setting of tlKorvel.xml and its default, each written once, here: the
// loader fills these values in (and names a default in its lines from them,
// never from a copy of its own), and every part of the service takes its
// settings in them. Plain values, free of I/O, that compare with another
// load's.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// The Options element (MaxSessions: SessionPolicy).
struct Options
{
    std::string clientAddress = "127.0.0.1";
    std::uint32_t clientPort = 55272;
    std::int32_t retryIntervalSecs = 10;
    // The status server of the operations view; port 0: none.
    std::string statusAddress = "127.0.0.1";
    std::uint16_t statusPort = 0;
    std::string statusToken; // empty: requests need no token

    bool operator==(const Options&) const = default;
};

// One configured operator.
struct UserAccount
{
    std::string name;
    std::string password; // empty: any password is accepted (unless a hash is set)
    std::int32_t priority = 0;
    // A crypt(3) hash of the password (PasswordHashFormatOf names the kinds
    // read); set, it is checked instead of `password`.
    std::string passwordHash = {};
    // May act on the supervisor API and console (Supervisor="1").
    bool supervisor = false;

    bool operator==(const UserAccount&) const = default;
};

// Operators by Name, ordered byte-wise; the first entry of a name stays.
using UserTable = std::map<std::string, UserAccount>;

// A Group of the Directory element: the directory's group of that Name
// gives its members this priority and, with Supervisor="1", the supervisor
// right.
struct DirectoryGroup
{
    std::string name;
    std::int32_t priority = 0;
    bool supervisor = false;

    bool operator==(const DirectoryGroup&) const = default;
};

// The Directory element: a LOGIN whose name no User has is checked against
// the system's accounts (PAM with this service name on Linux, the logon API
// on Windows), and passes only for a member of one of the groups.
struct DirectorySettings
{
    std::string service; // empty: no directory accounts
    std::vector<DirectoryGroup> groups; // in the file's order, one per Name

    bool Enabled() const { return !service.empty(); }
    bool operator==(const DirectorySettings&) const = default;
};

// The KorvelControl element: the operators and how long a camera stays
// theirs (RequireLogin and LoginThrottle: SessionPolicy).
struct ControlSettings
{
    std::uint32_t lockTimeSecs = 5;
    UserTable users;
    DirectorySettings directory;
    // The control audit trail's file as written (relative: beside the
    // executable); empty: none.
    std::string auditFile;

    bool operator==(const ControlSettings&) const = default;
};

// How strict the operator client service is with its peers: RequireLogin and
// LoginThrottle of KorvelControl, MaxSessions of Options. The defaults keep
// to what every existing client expects.
struct SessionPolicy
{
    // Camera commands, CHOOSE and CANCEL count only from a session that has
    // logged in; until then they are ignored (and logged once per session).
    bool requireLogin = false;
    // With requireLogin, a session that has not logged in this long after it
    // was greeted is closed, so that connections which never log in cannot
    // hold the places of those that would.
    std::chrono::milliseconds loginTimeout = std::chrono::seconds(30);
    // Live sessions beyond which a new connection is closed at once, so that
    // a flood of connections cannot use up the process's descriptors.
    std::size_t maxSessions = 1000;
    // Failed LOGINs beyond the first few from an address are answered ever
    // more slowly (LoginThrottle).
    bool throttleLogins = true;

    bool operator==(const SessionPolicy&) const = default;
};

// One configured NVR: where it listens and whom the service logs in as.
struct NvrSettings
{
    std::string address = "127.0.0.1";
    int port = 22609;
    std::string login;
    std::string password;

    bool operator==(const NvrSettings&) const = default;
};

// The line settings of a serial camera, as the loader leaves them: checked,
// with what a serial line cannot take replaced by the default. The loader's
// words for a replaced value wait here for the line's set-up, which says them
// at the step that applies that setting, once the device has opened and
// taken the settings before it: a device that is missing, or that refuses an
// earlier setting, hears nothing of a later one.
struct SerialSettings
{
    enum class StopBits
    {
        One,
        Two,
    };
    enum class Parity
    {
        None,
        Even,
        Odd,
    };

    std::uint32_t baudRate = 2400;
    std::uint8_t dataBits = 8; // 5 to 8
    StopBits stopBits = StopBits::One;
    Parity parity = Parity::None;

    // Set for a DataBits outside 5 to 8, which no line takes: the run cannot
    // go on once the device has opened and taken the speed, and ends with
    // this text. `dataBits` keeps its default.
    std::string dataBitsFailure;
    // Logged before the stop bits, and the parity, are applied: the
    // configured value was replaced by the default.
    std::string stopBitsNotice;
    std::string parityNotice;

    bool operator==(const SerialSettings&) const = default;
};

// What the operator side does with one camera beyond the priority test: its
// own lock time, and what the service writes to it of its own accord (stop,
// home, patrol), which needs the Pelco protocol the camera speaks. Each
// feature the loader found unusable is left off here (its line logged).
struct CameraRules
{
    enum class Protocol
    {
        None, // the service writes nothing of its own
        PelcoD,
        PelcoP,
    };
    // LockTime of the Camera; none: the site's (KorvelControl LockTime).
    std::optional<std::uint32_t> lockTimeSecs;
    Protocol protocol = Protocol::None;
    // A stop frame once a hold ends, for whatever reason.
    bool stopOnRelease = false;
    // Go to this preset once the camera has been free this long.
    std::optional<std::uint8_t> homePreset;
    std::uint32_t homeAfterSecs = 60;
    // A tour of presets (empty: none) once the camera has been free
    // resumeAfterSecs, one every dwellSecs.
    std::vector<std::uint8_t> patrolPresets;
    std::uint32_t dwellSecs = 20;
    std::uint32_t resumeAfterSecs = 60;

    // Something for the service to write of its own accord.
    bool Writes() const
    {
        return protocol != Protocol::None &&
               (stopOnRelease || homePreset || !patrolPresets.empty());
    }

    bool operator==(const CameraRules&) const = default;
};

// One configured track camera as the configuration gives it.
struct CameraSettings
{
    // Key of the camera table; a camera without one gets no transport and is not filed.
    std::string address;
    // A TCP port when it starts with a digit, else the serial device's name.
    std::string port = "1000";
    std::uint32_t pelcoNumber = 1;
    SerialSettings serial; // serial cameras only
    // How late a command may leave on the camera's line, from when its
    // operator sent it (MaxCommandAgeMs); 0: as late as it comes.
    std::uint32_t maxCommandAgeMs = 1000;
    // Network cameras behind a terminal server: the baud rate of the serial
    // line it drives (LineBaudRate); 0: not known, the socket's own queue
    // is all the service sees of the line.
    std::uint32_t lineBaudRate = 0;
    // Changed by a reload without the camera being built again.
    CameraRules rules;

    bool IsNetworkCamera() const { return !port.empty() && port[0] >= '0' && port[0] <= '9'; }

    bool operator==(const CameraSettings&) const = default;
    // The same camera to build: equal but for the rules.
    bool SameBuild(const CameraSettings& other) const
    {
        CameraSettings self = *this;
        self.rules = other.rules;
        return self == other;
    }
};

} // namespace korvel
