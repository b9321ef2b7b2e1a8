#pragma once

#include "config/Settings.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

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
