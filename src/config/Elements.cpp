#include "config/Elements.h"

#include "config/AttributeSyntax.h"

#include <tinyxml2.h>

namespace korvel {

namespace {

using StopBits = SerialSettings::StopBits;
using Parity = SerialSettings::Parity;

// How the file writes each value a serial line takes.
constexpr struct
{
    std::uint32_t written;
    StopBits value;
} StopBitsValues[] = {{1, StopBits::One}, {2, StopBits::Two}};

constexpr struct
{
    char written; // the first letter, upper case
    Parity value;
} ParityValues[] = {{'N', Parity::None}, {'E', Parity::Even}, {'O', Parity::Odd}};

// The text of the one failure a serial line's character size has; it is the
// serial port's own word for it.
const char* const InvalidDataBits = "invalid character_size value";

char UpperCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string Written(StopBits stopBits)
{
    for (const auto& entry : StopBitsValues) {
        if (entry.value == stopBits)
            return std::to_string(entry.written);
    }
    return {};
}

std::string Written(Parity parity)
{
    for (const auto& entry : ParityValues) {
        if (entry.value == parity)
            return std::string(1, entry.written);
    }
    return {};
}

std::string InvalidValueNotice(const char* attribute, const CameraSettings& camera,
                               const std::string& defaultValue)
{
    return std::string("Invalid ") + attribute + " value for camera at " + camera.address + ":" +
           camera.port + ". Defaulting to " + defaultValue;
}

SerialSettings ReadSerialSettings(const tinyxml2::XMLElement& element, const CameraSettings& camera)
{
    SerialSettings serial;
    ReadDecimalAttribute(element, "BaudRate", serial.baudRate);

    std::uint32_t dataBits = serial.dataBits;
    ReadDecimalAttribute(element, "DataBits", dataBits);
    if (dataBits >= 5 && dataBits <= 8)
        serial.dataBits = static_cast<std::uint8_t>(dataBits);
    else
        serial.dataBitsFailure = InvalidDataBits;

    if (const std::optional<std::uint32_t> stopBits = ParseDecimal(element.Attribute("StopBits"))) {
        bool known = false;
        for (const auto& entry : StopBitsValues) {
            if (entry.written == *stopBits) {
                serial.stopBits = entry.value;
                known = true;
            }
        }
        if (!known)
            serial.stopBitsNotice =
                InvalidValueNotice("StopBits", camera, Written(serial.stopBits));
    }

    if (HasText(element, "Parity")) {
        const char letter = UpperCase(element.Attribute("Parity")[0]);
        bool known = false;
        for (const auto& entry : ParityValues) {
            if (entry.written == letter) {
                serial.parity = entry.value;
                known = true;
            }
        }
        if (!known)
            serial.parityNotice = InvalidValueNotice("Parity", camera, Written(serial.parity));
    }
    return serial;
}

std::string CameraName(const CameraSettings& camera)
{
    return "camera at " + camera.address + ":" + camera.port;
}

// A preset number, 1 to 255, as the whole text (white space around it allowed).
std::optional<std::uint8_t> ParsePreset(std::string text)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    if (first == std::string::npos)
        return std::nullopt;
    const std::optional<std::int32_t> value =
        ParseStrictInteger(text.substr(first, last - first + 1).c_str());
    if (!value || *value < 1 || *value > 255)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

// A flag written 0 or 1 (any other integer counts as on); none when absent.
bool ReadFlag(const tinyxml2::XMLElement& element, const char* name)
{
    const std::optional<std::int32_t> value = ParseStrictInteger(element.Attribute(name));
    return value && *value != 0;
}

// Reads a count of seconds; one that is not a number, or below `least`,
// keeps the default, with a line.
void ReadSeconds(const tinyxml2::XMLElement& element, const char* name, std::uint32_t least,
                 const CameraSettings& camera, std::uint32_t& value,
                 std::vector<std::string>& lines)
{
    const char* text = element.Attribute(name);
    if (!text)
        return;
    const std::optional<std::int32_t> read = ParseStrictInteger(text);
    if (read && *read >= 0 && static_cast<std::uint32_t>(*read) >= least) {
        value = static_cast<std::uint32_t>(*read);
        return;
    }
    lines.push_back(InvalidValueNotice(name, camera, std::to_string(value)));
}

// What the service writes to the camera of its own accord: each feature
// that cannot be used is left off with one line naming the camera and the
// attribute, and the camera works as without it.
CameraRules ReadCameraRules(const tinyxml2::XMLElement& element, const CameraSettings& camera,
                            std::vector<std::string>& lines)
{
    using Protocol = CameraRules::Protocol;
    CameraRules rules;
    if (element.Attribute("LockTime")) {
        if (const std::optional<std::uint32_t> lockTime = ParseDecimal(element.Attribute("LockTime")))
            rules.lockTimeSecs = *lockTime;
        else
            lines.push_back("Invalid LockTime value for " + CameraName(camera) +
                            ". Using the KorvelControl LockTime");
    }

    bool protocolKnown = false;
    if (const char* protocol = element.Attribute("Protocol")) {
        const std::string letter(protocol);
        if (letter == "D" || letter == "d")
            rules.protocol = Protocol::PelcoD;
        else if (letter == "P" || letter == "p")
            rules.protocol = Protocol::PelcoP;
        else
            lines.push_back("Invalid Protocol value for " + CameraName(camera) +
                            ". It is not stopped, sent home or patrolled");
        protocolKnown = rules.protocol != Protocol::None;
        if (protocolKnown && camera.pelcoNumber > 255) {
            lines.push_back("Protocol of " + CameraName(camera) + " needs a PelcoNumber of at "
                            "most 255. It is not stopped, sent home or patrolled");
            rules.protocol = Protocol::None;
            protocolKnown = false;
        }
    }
    const bool protocolMissing = !element.Attribute("Protocol");

    if (ReadFlag(element, "StopOnRelease")) {
        if (protocolKnown)
            rules.stopOnRelease = true;
        else if (protocolMissing)
            lines.push_back("StopOnRelease without Protocol for " + CameraName(camera) +
                            ". It is not stopped when a hold ends");
    }

    if (element.Attribute("HomePreset")) {
        const std::optional<std::uint8_t> preset = ParsePreset(AttributeText(element, "HomePreset"));
        if (!preset)
            lines.push_back("Invalid HomePreset value for " + CameraName(camera) +
                            " (a preset is 1 to 255). It is not sent home");
        else if (protocolMissing)
            lines.push_back("HomePreset without Protocol for " + CameraName(camera) +
                            ". It is not sent home");
        else if (protocolKnown)
            rules.homePreset = preset;
    }
    ReadSeconds(element, "HomeAfterSecs", 0, camera, rules.homeAfterSecs, lines);

    if (const tinyxml2::XMLElement* patrol = element.FirstChildElement("Patrol")) {
        std::vector<std::uint8_t> presets;
        bool valid = true;
        const std::string list = AttributeText(*patrol, "Presets");
        std::size_t start = 0;
        while (valid && list.find_first_not_of(" \t") != std::string::npos) {
            const std::size_t comma = list.find(',', start);
            const std::optional<std::uint8_t> preset = ParsePreset(list.substr(start, comma - start));
            if (preset)
                presets.push_back(*preset);
            else
                valid = false;
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        if (presets.empty() && valid)
            lines.push_back("Patrol without Presets for " + CameraName(camera) +
                            ". It does not patrol");
        else if (!valid)
            lines.push_back("Invalid Patrol Presets value for " + CameraName(camera) +
                            " (each preset is 1 to 255). It does not patrol");
        else if (protocolMissing)
            lines.push_back("Patrol without Protocol for " + CameraName(camera) +
                            ". It does not patrol");
        else if (protocolKnown)
            rules.patrolPresets = std::move(presets);
        // A dwell of nothing would write presets without end.
        ReadSeconds(*patrol, "DwellSecs", 1, camera, rules.dwellSecs, lines);
        ReadSeconds(*patrol, "ResumeAfterSecs", 0, camera, rules.resumeAfterSecs, lines);
    }
    return rules;
}

} // namespace

CameraSettings ReadCameraElement(const tinyxml2::XMLElement& element,
                                 std::vector<std::string>& lines)
{
    CameraSettings settings;
    if (!HasText(element, "Address")) {
        lines.push_back(
            "Missing or empty 'Address' attribute for <Camera> entry in tlKorvel.xml file. "
            "Skipping.");
        return settings;
    }
    settings.address = element.Attribute("Address");
    ReadDecimalAttribute(element, "PelcoNumber", settings.pelcoNumber);
    if (HasText(element, "Port"))
        settings.port = element.Attribute("Port");
    ReadDecimalAttribute(element, "MaxCommandAgeMs", settings.maxCommandAgeMs);
    if (!settings.IsNetworkCamera())
        settings.serial = ReadSerialSettings(element, settings);
    else
        ReadDecimalAttribute(element, "LineBaudRate", settings.lineBaudRate);
    settings.rules = ReadCameraRules(element, settings, lines);
    return settings;
}

std::optional<NvrSettings> ReadNvrElement(const tinyxml2::XMLElement& element,
                                          std::vector<std::string>& lines)
{
    NvrSettings settings;
    const std::string addressText = AttributeText(element, "Address");
    if (!addressText.empty()) {
        settings.address = addressText;
    } else {
        lines.push_back("Address specifier for NVR " + addressText +
                        " in tlKorvel.xml file is undefined.  Defaulting to " + settings.address +
                        ".");
    }

    if (const std::optional<std::int32_t> port = ParseStrictInteger(element.Attribute("Port"))) {
        settings.port = *port;
    } else {
        lines.push_back("Port specifier for NVR " + addressText +
                        " in tlKorvel.xml file is non-integer or missing.  Defaulting to " +
                        std::to_string(settings.port) + ".");
    }

    bool rejected = false;
    if (HasText(element, "Login")) {
        settings.login = element.Attribute("Login");
    } else {
        lines.push_back("No 'Login' attribute defined for NVR " + addressText +
                        " in tlKorvel.xml file. Skipping this NVR.");
        rejected = true;
    }

    if (const char* password = element.Attribute("Password")) {
        settings.password = password;
        if (!rejected)
            return settings;
    } else {
        lines.push_back("No 'Password' attribute defined in tlKorvel.xml file for user " +
                        AttributeText(element, "Login") + " on " + addressText +
                        ". Skipping this NVR.");
    }

    lines.push_back("NVR element must define both 'User' and 'Password' attributes.");
    lines.push_back(
        "Example:  <NVR Address=\"1.2.3.4\" Port=\"12345\" User=\"myname\" Password=\"zkpw\" />");
    return std::nullopt;
}

} // namespace korvel
