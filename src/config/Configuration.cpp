#include "config/Configuration.h"

#include "config/AttributeSyntax.h"
#include "config/Elements.h"
#include "config/PasswordHashFormat.h"

#include <tinyxml2.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

namespace korvel {

namespace {

// One load under way: the value and the lines so far.
class Loader
{
public:
    explicit Loader(LoadedConfiguration& loaded)
        : configuration(loaded.configuration), lines(loaded.lines)
    {}

    void ReadOptions(const tinyxml2::XMLElement& element);
    void ReadMaxSessions(const tinyxml2::XMLElement& options);
    void ReadControl(const tinyxml2::XMLElement& element);
    // False when a camera repeats the PelcoNumber of a camera filed before it.
    bool ReadNvr(const tinyxml2::XMLElement& element);

private:
    void ReadStatusServer(const tinyxml2::XMLElement& options);
    void ReadRequireLogin(const tinyxml2::XMLElement& control);
    void ReadLoginThrottle(const tinyxml2::XMLElement& control);
    void ReadUsers(const tinyxml2::XMLElement& control);
    // False when the user is skipped.
    bool ReadPasswordHash(const tinyxml2::XMLElement& user, UserAccount& account);
    void ReadDirectory(const tinyxml2::XMLElement& directory);
    bool FileCamera(CameraSettings settings, std::size_t linesBefore);

    Configuration& configuration;
    std::vector<std::string>& lines;
    std::set<std::string> filedAddresses;
};

void Loader::ReadOptions(const tinyxml2::XMLElement& element)
{
    Options& options = configuration.options;
    ReadDecimalAttribute(element, "RetryIntervalSecs", options.retryIntervalSecs);

    if (HasText(element, "ClientAddress")) {
        options.clientAddress = element.Attribute("ClientAddress");
    } else {
        lines.push_back("Address " + AttributeText(element, "ClientAddress") +
                        " in tlKorvel.xml is undefined or invalid.  Defaulting to " +
                        Options().clientAddress + ".");
    }

    ReadDecimalAttribute(element, "ClientPort", options.clientPort);
    ReadMaxSessions(element);
    ReadStatusServer(element);
}

// A cap of 0 would shut every operator out.
void Loader::ReadMaxSessions(const tinyxml2::XMLElement& options)
{
    const char* text = options.Attribute("MaxSessions");
    if (!text)
        return;
    const std::optional<std::uint32_t> cap = ParseDecimal(text);
    if (cap && *cap != 0) {
        configuration.sessionPolicy.maxSessions = *cap;
        return;
    }
    const std::size_t defaultCap = SessionPolicy().maxSessions;
    lines.push_back("MaxSessions " + std::string(text) +
                    " in tlKorvel.xml is invalid.  Defaulting to " + std::to_string(defaultCap) +
                    ".");
    configuration.sessionPolicy.maxSessions = defaultCap;
}

// The status server stays off unless StatusPort names a port; a value that
// does not leaves it off rather than stop the service.
void Loader::ReadStatusServer(const tinyxml2::XMLElement& options)
{
    Options& settings = configuration.options;
    if (HasText(options, "StatusAddress"))
        settings.statusAddress = options.Attribute("StatusAddress");
    settings.statusToken = AttributeText(options, "StatusToken");
    const char* text = options.Attribute("StatusPort");
    if (!text || !*text)
        return;
    const std::optional<std::int32_t> port = ParseStrictInteger(text);
    if (port && *port >= 0 && *port <= 0xffff) {
        settings.statusPort = static_cast<std::uint16_t>(*port);
        return;
    }
    lines.push_back("StatusPort " + std::string(text) +
                    " in tlKorvel.xml is not a port number.  The status server stays off.");
}

void Loader::ReadControl(const tinyxml2::XMLElement& element)
{
    ReadDecimalAttribute(element, "LockTime", configuration.control.lockTimeSecs);
    ReadRequireLogin(element);
    ReadLoginThrottle(element);
    configuration.control.auditFile = AttributeText(element, "AuditFile");
    ReadUsers(element);
    if (const tinyxml2::XMLElement* directory = element.FirstChildElement("Directory"))
        ReadDirectory(*directory);
}

// Only someone who wants logins required writes the attribute, so a value
// that is not a number requires them too rather than leave the service open.
void Loader::ReadRequireLogin(const tinyxml2::XMLElement& control)
{
    const char* text = control.Attribute("RequireLogin");
    if (!text)
        return;
    if (const std::optional<std::int32_t> value = ParseStrictInteger(text)) {
        configuration.sessionPolicy.requireLogin = *value != 0;
        return;
    }
    lines.push_back("RequireLogin " + std::string(text) +
                    " in tlKorvel.xml is not 0 or 1.  Requiring login.");
    configuration.sessionPolicy.requireLogin = true;
}

// Only 0 turns the throttle off: a value that is not a number keeps it on
// rather than leave password guessing unchecked.
void Loader::ReadLoginThrottle(const tinyxml2::XMLElement& control)
{
    const char* text = control.Attribute("LoginThrottle");
    if (!text)
        return;
    if (const std::optional<std::int32_t> value = ParseStrictInteger(text)) {
        configuration.sessionPolicy.throttleLogins = *value != 0;
        return;
    }
    lines.push_back("LoginThrottle " + std::string(text) +
                    " in tlKorvel.xml is not 0 or 1.  Throttling failed logins.");
}

void Loader::ReadUsers(const tinyxml2::XMLElement& control)
{
    for (const tinyxml2::XMLElement* user = control.FirstChildElement("User"); user;
         user = user->NextSiblingElement("User")) {
        UserAccount account;
        account.name = AttributeText(*user, "Name");
        account.password = AttributeText(*user, "Password");
        ReadDecimalAttribute(*user, "Priority", account.priority);
        if (const std::optional<std::int32_t> supervisor =
                ParseStrictInteger(user->Attribute("Supervisor")))
            account.supervisor = *supervisor != 0;
        if (account.name.empty()) {
            lines.push_back(
                "Skipping <User> entry due to empty or invalid Name value in tlKorvel.xml.");
            continue;
        }
        if (!ReadPasswordHash(*user, account))
            continue;
        const std::string name = account.name;
        configuration.control.users.emplace(name, std::move(account)); // the first of a name stays
    }
}

// A hash no check can pass (or of a kind not read) skips the user rather
// than let it in with any password or none; with both attributes the hash
// is the one checked.
bool Loader::ReadPasswordHash(const tinyxml2::XMLElement& user, UserAccount& account)
{
    const char* hash = user.Attribute("PasswordHash");
    if (!hash)
        return true;
    if (PasswordHashFormatOf(hash) == PasswordHashFormat::Malformed) {
        lines.push_back("Skipping <User> entry " + account.name +
                        ": its PasswordHash in tlKorvel.xml is not a yescrypt, bcrypt or "
                        "SHA-512 hash.");
        return false;
    }
    if (user.Attribute("Password")) {
        lines.push_back("User " + account.name +
                        " has both Password and PasswordHash in tlKorvel.xml.  Using "
                        "PasswordHash.");
        account.password.clear();
    }
    account.passwordHash = hash;
    return true;
}

// Directory accounts stay off without a Service; a Group without a Name is
// skipped, and the first Group of a name stays.
void Loader::ReadDirectory(const tinyxml2::XMLElement& directory)
{
    DirectorySettings& settings = configuration.control.directory;
    settings.service = AttributeText(directory, "Service");
    if (settings.service.empty()) {
        lines.push_back("<Directory> in tlKorvel.xml has no Service.  Directory accounts are "
                        "off.");
        return;
    }
    std::set<std::string> names;
    for (const tinyxml2::XMLElement* group = directory.FirstChildElement("Group"); group;
         group = group->NextSiblingElement("Group")) {
        DirectoryGroup entry;
        entry.name = AttributeText(*group, "Name");
        if (entry.name.empty()) {
            lines.push_back("Skipping <Group> entry due to empty Name value in tlKorvel.xml.");
            continue;
        }
        ReadDecimalAttribute(*group, "Priority", entry.priority);
        if (const char* text = group->Attribute("Supervisor")) {
            const std::optional<std::int32_t> flag = ParseStrictInteger(text);
            // Only an explicit 1 grants the right.
            entry.supervisor = flag && *flag != 0;
            if (!flag)
                lines.push_back("Supervisor " + std::string(text) + " of <Group> " + entry.name +
                                " in tlKorvel.xml is not 0 or 1.  Not a supervisor group.");
        }
        if (names.insert(entry.name).second)
            settings.groups.push_back(std::move(entry));
    }
    lines.push_back(DirectoryAccountsLine(settings));
}

bool Loader::ReadNvr(const tinyxml2::XMLElement& element)
{
    const std::optional<NvrSettings> nvr = ReadNvrElement(element, lines);
    if (!nvr)
        return true;
    configuration.nvrs.emplace(nvr->address, *nvr); // the first NVR of an address stays
    lines.push_back("Loaded config for server at " + nvr->address);

    bool unique = true;
    for (const tinyxml2::XMLElement* camera = element.FirstChildElement("Camera"); camera;
         camera = camera->NextSiblingElement("Camera")) {
        const std::size_t linesBefore = lines.size();
        CameraSettings settings = ReadCameraElement(*camera, lines);
        if (!settings.address.empty() && !FileCamera(std::move(settings), linesBefore))
            unique = false;
    }
    return unique;
}

// The camera is built after the lines before its element; what the loader
// has to say of it comes after what building it logs.
bool Loader::FileCamera(CameraSettings settings, std::size_t linesBefore)
{
    bool unique = true;
    for (const ConfiguredCamera& other : configuration.cameras) {
        if (other.filed && other.settings.pelcoNumber == settings.pelcoNumber) {
            lines.push_back("*** Error: Configuration has multiple entries with PelcoNumber=" +
                            std::to_string(settings.pelcoNumber));
            unique = false;
        }
    }
    const bool filed = filedAddresses.insert(settings.address).second;
    configuration.cameras.push_back({std::move(settings), linesBefore, filed});
    return unique;
}

} // namespace

std::string DirectoryAccountsLine(const DirectorySettings& directory)
{
    return "Directory accounts through service " + directory.service + " with " +
           std::to_string(directory.groups.size()) + " group" +
           (directory.groups.size() == 1 ? "" : "s");
}

LoadedConfiguration LoadConfiguration(const std::string& path,
                                      const std::optional<std::string>& text)
{
    LoadedConfiguration loaded;
    loaded.lines.push_back("Reading config file " + path);

    tinyxml2::XMLDocument document;
    if (!text || document.Parse(text->data(), text->size()) != tinyxml2::XML_SUCCESS) {
        loaded.lines.push_back(
            "Exiting due to missing, incorrect, or incomplete tlKorvel.xml configuration file.");
        loaded.usable = false;
        return loaded;
    }
    const tinyxml2::XMLElement* root = document.FirstChildElement("tlKorvel");
    if (!root) {
        loaded.lines.push_back("No tlKorvel section found in tlKorvel.xml config file.  Exiting.");
        loaded.usable = false;
        return loaded;
    }

    Loader loader(loaded);
    if (const tinyxml2::XMLElement* options = root->FirstChildElement("Options"))
        loader.ReadOptions(*options);
    // Without KorvelControl the lock time keeps its default and nobody can log in.
    if (const tinyxml2::XMLElement* control = root->FirstChildElement("KorvelControl"))
        loader.ReadControl(*control);
    for (const tinyxml2::XMLElement* nvr = root->FirstChildElement("NVR"); nvr;
         nvr = nvr->NextSiblingElement("NVR")) {
        if (!loader.ReadNvr(*nvr))
            loaded.usable = false;
    }
    return loaded;
}

ConfigurationText ReadConfigurationText(const std::string& path, std::uintmax_t maxBytes)
{
    ConfigurationText read;
    std::error_code error;
    // Follows a symbolic link: a link to a device is no regular file.
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error)
        return read;
    if (!std::filesystem::is_regular_file(status)) {
        read.found = ConfigurationText::Found::NotRegular;
        return read;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > maxBytes) {
        read.found = ConfigurationText::Found::TooLarge;
        return read;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return read;
    char chunk[64 * 1024];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        const auto got = static_cast<std::size_t>(file.gcount());
        if (read.text.size() + got > maxBytes) {
            read.text.clear();
            read.found = ConfigurationText::Found::TooLarge;
            return read;
        }
        read.text.append(chunk, got);
    }
    if (file.bad()) {
        read.text.clear();
        return read;
    }
    read.found = ConfigurationText::Found::Read;
    return read;
}

LoadedConfiguration LoadConfigurationFile(const std::string& directory)
{
    const std::string path = directory + "tlKorvel.xml";
    ConfigurationText read = ReadConfigurationText(path);
    switch (read.found) {
    case ConfigurationText::Found::Read:
        return LoadConfiguration(path, std::move(read.text));
    case ConfigurationText::Found::Unreadable:
        break;
    case ConfigurationText::Found::NotRegular:
    case ConfigurationText::Found::TooLarge: {
        LoadedConfiguration loaded = LoadConfiguration(path, std::nullopt);
        loaded.unread = read.found == ConfigurationText::Found::NotRegular
                            ? "it is not a regular file"
                            : "it is larger than " +
                                  std::to_string(MaxConfigurationBytes / (1024 * 1024)) + " MiB";
        loaded.lines.insert(loaded.lines.begin() + 1, "Not reading " + path + ": " + loaded.unread);
        return loaded;
    }
    }
    return LoadConfiguration(path, std::nullopt);
}

} // namespace korvel
