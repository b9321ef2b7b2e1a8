#pragma once

#include "camera/CameraSettings.h"
#include "client/UserAccount.h"
#include "nvr/NvrSettings.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel {

// The Options element.
struct Options
{
    std::string clientAddress = "127.0.0.1";
    std::uint32_t clientPort = 55272;
    std::int32_t retryIntervalSecs = 10;
    std::uint32_t maxSessions = 1000;
    // The status server of the operations view; port 0: none.
    std::string statusAddress = "127.0.0.1";
    std::uint16_t statusPort = 0;
    std::string statusToken; // empty: requests need no token
};

// The KorvelControl element: the operators and how long a camera stays theirs.
struct ControlSettings
{
    std::uint32_t lockTimeSecs = 5;
    bool requireLogin = false;
    // Failed LOGINs from an address that keeps failing are answered ever
    // more slowly.
    bool loginThrottle = true;
    UserTable users;
    // The control audit trail's file as written (relative: beside the
    // executable); empty: none.
    std::string auditFile;
};

// A Camera element with an Address, where the run builds its track camera.
struct ConfiguredCamera
{
    CameraSettings settings;
    // How many of the loader's lines the run writes before it builds this
    // camera: building one logs ("Connecting to track camera at ...") and may
    // throw, between the lines of the file.
    std::size_t linesBefore = 0;
    // False for a repeated Address: the first camera of an address is the
    // one the service uses; a later one is only built and stopped again.
    bool filed = true;
};

// What tlKorvel.xml configures.
struct Configuration
{
    Options options;
    ControlSettings control;
    // By Address, byte-wise; the first NVR of an address stays.
    std::map<std::string, NvrSettings> nvrs;
    // In the order of the file.
    std::vector<ConfiguredCamera> cameras;
};

// A load: the configuration, the lines the log gets for it (in order, with
// the cameras built among them), and whether the run may go on with it.
struct LoadedConfiguration
{
    Configuration configuration;
    std::vector<std::string> lines;
    bool usable = true;
};

// The configuration file cannot be used; what() is the log's last line of the run.
class ConfigurationError : public std::runtime_error
{
public:
    ConfigurationError() : std::runtime_error("Exiting due to configuration file error(s)") {}
};

// Reads a configuration from the text of the file at `path` (none when the
// file cannot be read). The path appears only in the first line. No I/O;
// throws nothing but std::bad_alloc.
LoadedConfiguration LoadConfiguration(const std::string& path,
                                      const std::optional<std::string>& text);

// Reads directory + "tlKorvel.xml".
LoadedConfiguration LoadConfigurationFile(const std::string& directory);

} // namespace korvel
