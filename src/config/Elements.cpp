#include "config/Elements.h"

#include "config/AttributeSyntax.h"

#include <tinyxml2.h>

namespace korvel {

namespace {

char UpperCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
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
    if (settings.IsNetworkCamera())
        return settings;

    SerialSettings& serial = settings.serial;
    ReadDecimalAttribute(element, "BaudRate", serial.baudRate);
    ReadDecimalAttribute(element, "DataBits", serial.dataBits);
    ReadDecimalAttribute(element, "StopBits", serial.stopBits);
    if (HasText(element, "Parity"))
        serial.parity = UpperCase(element.Attribute("Parity")[0]);
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
                        " in tlKorvel.xml file is undefined.  Defaulting to 127.0.0.1.");
    }

    std::int32_t configuredPort = 0;
    if (ParseStrictInteger(element.Attribute("Port"), configuredPort)) {
        settings.port = configuredPort;
    } else {
        lines.push_back("Port specifier for NVR " + addressText +
                        " in tlKorvel.xml file is non-integer or missing.  Defaulting to 22609.");
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
