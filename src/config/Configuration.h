#pragma once

#include "config/CameraSettings.h"
#include "config/NvrSettings.h"
#include "config/SessionPolicy.h"
#include "config/UserAccount.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// The settings of tlKorvel.xml and their defaults, each written once: here
// and in the settings types this header includes. The loader's lines name a
// default from these values, never from a copy of its own.

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

// The KorvelControl element: the operators and how long a camera stays
// theirs (RequireLogin and LoginThrottle: SessionPolicy).
struct ControlSettings
{
    std::uint32_t lockTimeSecs = 5;
    UserTable users;
    // The control audit trail's file as written (relative: beside the
    // executable); empty: none.
    std::string auditFile;

    bool operator==(const ControlSettings&) const = default;
};

// A Camera element with an Address, where the run builds its track camera.
struct ConfiguredCamera
{
    CameraSettings settings;
    // How many of the loader's lines the run writes before it builds this
    // camera: building one logs ("Connecting to track camera at ...", a
    // serial line's notices) between the lines of the file, and may end the
    // run there (SerialSettings::dataBitsFailure).
    std::size_t linesBefore = 0;
    // False for a repeated Address: the first camera of an address is the
    // one the service uses; a later one is only built and stopped again.
    bool filed = true;

    bool operator==(const ConfiguredCamera&) const = default;
};

// What tlKorvel.xml configures: a plain value, free of I/O, that compares
// with another load's.
struct Configuration
{
    Options options;
    ControlSettings control;
    SessionPolicy sessionPolicy;
    // By Address, byte-wise; the first NVR of an address stays.
    std::map<std::string, NvrSettings> nvrs;
    // In the order of the file.
    std::vector<ConfiguredCamera> cameras;

    bool operator==(const Configuration&) const = default;
};

// A load: the configuration, the lines the log gets for it (in order, with
// the cameras built among them), and whether the run may go on with it.
struct LoadedConfiguration
{
    Configuration configuration;
    std::vector<std::string> lines;
    bool usable = true;

    bool operator==(const LoadedConfiguration&) const = default;
};

// The last line of a run whose configuration is not usable.
constexpr const char* UnusableConfigurationText = "Exiting due to configuration file error(s)";

// Reads a configuration from the text of the file at `path` (none when the
// file cannot be read). The path appears only in the first line. No I/O;
// throws nothing but std::bad_alloc.
LoadedConfiguration LoadConfiguration(const std::string& path,
                                      const std::optional<std::string>& text);

// Reads directory + "tlKorvel.xml".
LoadedConfiguration LoadConfigurationFile(const std::string& directory);

} // namespace korvel
