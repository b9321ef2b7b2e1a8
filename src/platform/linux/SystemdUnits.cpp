#include "platform/linux/SystemdUnits.h"
#include "platform/SystemdUnitTemplates.h"

#include <cerrno>
#include <initializer_list>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel {

namespace {

// Folders whose contents the sandbox would hide from a program installed in
// them; such a folder gets the weaker setting, so that the service still runs.
bool IsWithin(const std::string& folder, const std::string& top)
{
    return folder.compare(0, top.size(), top) == 0 &&
           (folder.size() == top.size() || folder[top.size()] == '/');
}

bool IsWithinAny(const std::string& folder, std::initializer_list<const char*> tops)
{
    for (const char* top : tops) {
        if (IsWithin(folder, top))
            return true;
    }
    return false;
}

// The placeholder among the values that starts at text[at], if any.
const std::pair<std::string, std::string>* PlaceholderAt(const std::string& text, std::size_t at,
                                                         const UnitValues& values)
{
    for (const auto& value : values) {
        const std::string& name = value.first;
        if (text.compare(at + 1, name.size(), name) == 0 && at + name.size() + 1 < text.size() &&
            text[at + name.size() + 1] == '@')
            return &value;
    }
    return nullptr;
}

} // namespace

std::string FillUnitTemplate(const std::string& unitTemplate, const std::set<std::string>& flags,
                             const UnitValues& values)
{
    std::string text;
    std::istringstream lines(unitTemplate);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 2, "##") == 0)
            continue;
        const std::size_t markEnd = line.find('}');
        if (!line.empty() && line[0] == '{' && markEnd != std::string::npos) {
            if (flags.count(line.substr(1, markEnd - 1)) == 0)
                continue;
            line.erase(0, markEnd + 1);
        }
        // One pass, so that a value is never read as a placeholder itself.
        std::string filled;
        bool onlyPlaceholders = !line.empty();
        for (std::size_t at = 0; at < line.size();) {
            const auto* placeholder = line[at] == '@' ? PlaceholderAt(line, at, values) : nullptr;
            if (placeholder == nullptr) {
                filled += line[at++];
                onlyPlaceholders = false;
                continue;
            }
            filled += placeholder->second;
            at += placeholder->first.size() + 2;
        }
        if (!(onlyPlaceholders && filled.empty()))
            text += filled + "\n";
    }
    return text;
}

std::optional<std::string> ServiceUnitText(const ServiceUnitSettings& settings)
{
    const std::string folder = settings.program.substr(0, settings.program.rfind('/'));
    const std::optional<std::string> execStart = UnitPathWord(settings.program);
    const std::optional<std::string> writableFolder = UnitPathWord(folder.empty() ? "/" : folder);
    if (!execStart || !writableFolder)
        return std::nullopt;

    std::string dependencies;
    for (const std::string& dependency : settings.dependencies) {
        if (!dependencies.empty())
            dependencies += '\n';
        dependencies.append("Requires=").append(dependency).append(".service\nAfter=");
        dependencies.append(dependency).append(".service");
    }
    std::set<std::string> flags{settings.account.empty() ? "install" : "package"};
    if (settings.restartOnFailure)
        flags.insert("restart");
    const bool inHome = IsWithinAny(folder, {"/home", "/root", "/run/user"});
    const bool inTemporary = IsWithinAny(folder, {"/tmp", "/var/tmp"});
    return FillUnitTemplate(ServiceUnitTemplate, flags,
                            {{"DESCRIPTION", settings.description},
                             {"DEPENDENCIES", dependencies},
                             {"EXEC_START", *execStart},
                             {"ACCOUNT", settings.account},
                             {"PROGRAM_DIR", *writableFolder},
                             {"PROTECT_HOME", inHome ? "read-only" : "yes"},
                             {"PRIVATE_TMP", inTemporary ? "no" : "yes"}});
}

std::string TimerUnitText(const std::string& serviceName, const std::string& displayName)
{
    return FillUnitTemplate(TimerUnitTemplate, {},
                            {{"DISPLAY_NAME", displayName}, {"SERVICE_NAME", serviceName}});
}

namespace {

// Length of the UTF-8 sequence starting at text[at], or 0 when it is malformed.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at)
{
    struct Form
    {
        unsigned char firstLead, lastLead;
        std::size_t length;
        unsigned long lowest; // smaller code points are overlong
    };
    static const Form forms[] = {{0x00, 0x7f, 1, 0x0},
                                 {0xc2, 0xdf, 2, 0x80},
                                 {0xe0, 0xef, 3, 0x800},
                                 {0xf0, 0xf4, 4, 0x10000}};

    const unsigned char lead = static_cast<unsigned char>(text[at]);
    for (const Form& form : forms) {
        if (lead < form.firstLead || lead > form.lastLead)
            continue;
        if (at + form.length > text.size())
            return 0;
        unsigned long codePoint = form.length == 1 ? lead : lead & (0x7fu >> form.length);
        for (std::size_t i = 1; i < form.length; ++i) {
            const unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xc0) != 0x80)
                return 0;
            codePoint = (codePoint << 6) | (next & 0x3fu);
        }
        const bool surrogate = codePoint >= 0xd800 && codePoint <= 0xdfff;
        return codePoint < form.lowest || codePoint > 0x10ffff || surrogate ? 0 : form.length;
    }
    return 0;
}

bool RefusedInExecutablePath(char c)
{
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || c == '"' || c == '\'' || c == '\\';
}

} // namespace

std::optional<std::string> UnitPathWord(const std::string& path)
{
    if (path.empty())
        return std::nullopt;
    std::string word;
    bool hasBlank = false;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t length = Utf8SequenceLength(path, at);
        if (length == 0 || RefusedInExecutablePath(path[at]))
            return std::nullopt;
        if (path[at] == '%')
            word += '%'; // doubled: a literal sign, not a specifier
        hasBlank = hasBlank || path[at] == ' ';
        word.append(path, at, length);
        at += length;
    }
    if (hasBlank)
        word = "\"" + word + "\"";
    return word;
}

std::error_code WriteUnitFile(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return {errno, std::generic_category()};

    int error = 0;
    if (::fchmod(fd, 0644) != 0)
        error = errno;
    for (std::size_t written = 0; error == 0 && written < text.size();) {
        const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
        if (count < 0 && errno != EINTR)
            error = errno;
        else if (count > 0)
            written += static_cast<std::size_t>(count);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temporary.c_str());
    return {error, std::generic_category()};
}

} // namespace korvel
