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
    // Why the file was not read at all ("it is not a regular file", "it is
    // larger than 16 MiB"); empty when it was read, or could not be.
    std::string unread;

    bool operator==(const LoadedConfiguration&) const = default;
};

// The last line of a run whose configuration is not usable.
constexpr const char* UnusableConfigurationText = "Exiting due to configuration file error(s)";

// The largest tlKorvel.xml that is read: a file beyond it is refused unread.
constexpr std::uintmax_t MaxConfigurationBytes = 16 * 1024 * 1024;

// The file as found at its path.
struct ConfigurationText
{
    enum class Found
    {
        Read,       // `text` holds it
        Unreadable, // missing, or it could not be opened or read
        NotRegular, // a FIFO, a device, a folder: never opened
        TooLarge,   // more than the bound: not read beyond it
    };
    Found found = Found::Unreadable;
    std::string text;
};

// Reads the file at `path` when it is a regular file of at most `maxBytes`
// bytes. Only the path is looked at before the file is opened, so that
// nothing but a regular file is opened, and no more than maxBytes + 1 bytes
// are read of whatever was opened (a file that grows, or one put in place
// between the look and the open).
ConfigurationText ReadConfigurationText(const std::string& path,
                                        std::uintmax_t maxBytes = MaxConfigurationBytes);

// "Directory accounts through service <service> with <n> groups".
std::string DirectoryAccountsLine(const DirectorySettings& directory);

// Reads a configuration from the text of the file at `path` (none when the
// file cannot be read). The path appears only in the first line. No I/O;
// throws nothing but std::bad_alloc.
LoadedConfiguration LoadConfiguration(const std::string& path,
                                      const std::optional<std::string>& text);

// Reads directory + "tlKorvel.xml" (ReadConfigurationText) and loads it. A
// file that is not a regular file, or is too large, is not usable: its lines
// say so ("Not reading PATH: it is not a regular file"), and `unread` too.
LoadedConfiguration LoadConfigurationFile(const std::string& directory);

} // namespace korvel
