#include "nvr/NVRConnection.h"

#include "config/AttributeSyntax.h"
#include "log/LogFile.h"

#include <tinyxml2.h>

// The NVR element's attributes. Messages quote the attributes as written in
// the file (empty when missing), not the defaults that replace them.
bool NVRConnection::LoadFromElement(const tinyxml2::XMLElement& element)
{
    const std::string addressText = AttributeText(element, "Address");
    if (!addressText.empty()) {
        address = addressText;
    } else {
        LogFile.BeginLine() << "Address specifier for NVR " << addressText
                            << " in tlKorvel.xml file is undefined.  Defaulting to 127.0.0.1."
                            << std::endl;
    }

    std::int32_t configuredPort = 0;
    if (ParseStrictInteger(element.Attribute("Port"), configuredPort)) {
        port = configuredPort;
    } else {
        LogFile.BeginLine()
            << "Port specifier for NVR " << addressText
            << " in tlKorvel.xml file is non-integer or missing.  Defaulting to 22609."
            << std::endl;
    }

    bool rejected = false;
    if (HasText(element, "Login")) {
        login = element.Attribute("Login");
    } else {
        LogFile.BeginLine() << "No 'Login' attribute defined for NVR " << addressText
                            << " in tlKorvel.xml file. Skipping this NVR." << std::endl;
        rejected = true;
    }

    if (const char* passwordText = element.Attribute("Password")) {
        password = passwordText;
        if (!rejected)
            return true;
    } else {
        LogFile.BeginLine() << "No 'Password' attribute defined in tlKorvel.xml file for user "
                            << AttributeText(element, "Login") << " on " << addressText
                            << ". Skipping this NVR." << std::endl;
    }

    LogFile.BeginLine() << "NVR element must define both 'User' and 'Password' attributes."
                        << std::endl;
    LogFile.BeginLine()
        << "Example:  <NVR Address=\"1.2.3.4\" Port=\"12345\" User=\"myname\" Password=\"zkpw\" />"
        << std::endl;
    return false;
}
