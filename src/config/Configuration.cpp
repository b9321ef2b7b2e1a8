#include "config/Configuration.h"

#include "camera/TrackCamera.h"
#include "config/AttributeSyntax.h"
#include "config/Settings.h"
#include "log/LogFile.h"
#include "nvr/NVRConnection.h"

#include <tinyxml2.h>

#include <memory>
#include <utility>

namespace {

const char* const DefaultClientAddress = "127.0.0.1";
constexpr std::uint32_t DefaultClientPort = 55272;
constexpr std::int32_t DefaultRetryIntervalSecs = 10;
constexpr std::uint32_t DefaultLockTimeSecs = 5;

struct Timing
{
    std::int32_t retryIntervalSecs = DefaultRetryIntervalSecs;
    std::uint32_t lockTimeSecs = DefaultLockTimeSecs;
};

void ReadOptions(const tinyxml2::XMLElement& options, Timing& timing)
{
    ReadDecimalAttribute(options, "RetryIntervalSecs", timing.retryIntervalSecs);

    if (HasText(options, "ClientAddress")) {
        ClientAddress = options.Attribute("ClientAddress");
    } else {
        LogFile.BeginLine() << "Address " << AttributeText(options, "ClientAddress")
                            << " in tlKorvel.xml is undefined or invalid.  Defaulting to "
                            << DefaultClientAddress << "." << std::endl;
    }

    ClientPort = DefaultClientPort;
    ReadDecimalAttribute(options, "ClientPort", ClientPort);
}

void ReadUsers(const tinyxml2::XMLElement& control, UserTable& users)
{
    for (const tinyxml2::XMLElement* user = control.FirstChildElement("User"); user;
         user = user->NextSiblingElement("User")) {
        UserAccount account;
        account.name = AttributeText(*user, "Name");
        account.password = AttributeText(*user, "Password");
        ReadDecimalAttribute(*user, "Priority", account.priority);
        if (account.name.empty()) {
            LogFile.BeginLine()
                << "Skipping <User> entry due to empty or invalid Name value in tlKorvel.xml."
                << std::endl;
            continue;
        }
        const std::string name = account.name;
        users.emplace(name, std::move(account)); // the first user of a name stays
    }
}

// Files the cameras of one NVR element. Returns false when a camera repeats
// the PelcoNumber of a camera filed before it.
bool ReadCameras(boost::asio::io_context& io, const tinyxml2::XMLElement& nvr, const Timing& timing,
                 CameraTable& cameras)
{
    bool unique = true;
    for (const tinyxml2::XMLElement* element = nvr.FirstChildElement("Camera"); element;
         element = element->NextSiblingElement("Camera")) {
        auto camera = std::make_unique<TrackCamera>(io, *element, timing.retryIntervalSecs,
                                                    static_cast<std::int32_t>(timing.lockTimeSecs));
        if (camera->GetAddress().empty()) {
            camera->Stop();
            continue;
        }
        for (const auto& entry : cameras) {
            if (entry.second->GetPelcoNumber() == camera->GetPelcoNumber()) {
                LogFile.BeginLine()
                    << "*** Error: Configuration has multiple entries with PelcoNumber="
                    << camera->GetPelcoNumber() << std::endl;
                unique = false;
            }
        }
        const std::string key = camera->GetAddress();
        auto filed = cameras.emplace(key, nullptr);
        if (filed.second) {
            filed.first->second = std::move(camera);
        } else {
            // A repeated Address: the first camera stays; this one must hold
            // no device and make no connection.
            camera->Stop();
        }
    }
    return unique;
}

} // namespace

int LoadConfiguration(boost::asio::io_context& io, NvrTable& nvrs, CameraTable& cameras,
                      UserTable& users, const std::string& directory)
{
    ClientAddress = DefaultClientAddress;
    ClientPort = DefaultClientPort;

    const std::string path = directory + "tlKorvel.xml";
    LogFile.BeginLine() << "Reading config file " << path << std::endl;

    tinyxml2::XMLDocument document;
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        LogFile.BeginLine()
            << "Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file."
            << std::endl;
        return -1;
    }
    const tinyxml2::XMLElement* root = document.FirstChildElement("tlKorvel");
    if (!root) {
        LogFile.BeginLine() << "No tlKorvel section found in tlKorvel.xml config file.  Exiting."
                            << std::endl;
        return -1;
    }

    Timing timing;
    if (const tinyxml2::XMLElement* options = root->FirstChildElement("Options"))
        ReadOptions(*options, timing);

    // Without KorvelControl the lock time stays 5 seconds and nobody can log in.
    if (const tinyxml2::XMLElement* control = root->FirstChildElement("KorvelControl")) {
        ReadDecimalAttribute(*control, "LockTime", timing.lockTimeSecs);
        ReadUsers(*control, users);
    }

    bool pelcoNumbersUnique = true;
    for (const tinyxml2::XMLElement* element = root->FirstChildElement("NVR"); element;
         element = element->NextSiblingElement("NVR")) {
        auto connection = std::make_unique<NVRConnection>(timing.retryIntervalSecs, cameras);
        if (!connection->LoadFromElement(*element))
            continue;
        const std::string nvrAddress = connection->GetAddress();
        nvrs.emplace(nvrAddress, std::move(connection)); // the first NVR of an address stays
        LogFile.BeginLine() << "Loaded config for server at " << nvrAddress << std::endl;
        if (!ReadCameras(io, *element, timing, cameras))
            pelcoNumbersUnique = false;
    }
    return pelcoNumbersUnique ? 0 : -1;
}
