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
