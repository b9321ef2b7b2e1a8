#include "host/SystemdUnits_linux.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string ServiceUnitText(const ServiceUnitSettings& settings)
{
    std::string text = "[Unit]\nDescription=" + settings.description + "\n";
    for (const std::string& dependency : settings.dependencies)
        text += "Requires=" + dependency + ".service\nAfter=" + dependency + ".service\n";
    // Restarted a minute after every failure, without end: a start limit
    // would leave a control room without its service for the rest of the day.
    if (settings.restartOnFailure)
        text += "StartLimitIntervalSec=0\n";
    text += "\n[Service]\nType=notify\nExecStart=" + settings.execStart + "\n";
    if (settings.restartOnFailure)
        text += "Restart=on-failure\nRestartSec=60\n";
    return text;
}

std::string TimerUnitText(const std::string& serviceName, const std::string& displayName)
{
    return "[Unit]\nDescription=Delayed start of " + displayName + "\n"
           "\n[Timer]\nOnBootSec=120\nUnit=" + serviceName + ".service\n"
           "\n[Install]\nWantedBy=timers.target\n";
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
    static const Form forms[] = {
        {0x00, 0x7f, 1, 0x0}, {0xc2, 0xdf, 2, 0x80}, {0xe0, 0xef, 3, 0x800}, {0xf0, 0xf4, 4, 0x10000}};

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

bool ExecStartWord(const std::string& path, std::string& word)
{
    word.clear();
    bool hasBlank = false;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t length = Utf8SequenceLength(path, at);
        if (length == 0 || RefusedInExecutablePath(path[at]))
            return false;
        if (path[at] == '%')
            word += '%'; // doubled: a literal sign, not a specifier
        hasBlank = hasBlank || path[at] == ' ';
        word.append(path, at, length);
        at += length;
    }
    if (hasBlank)
        word = "\"" + word + "\"";
    return !path.empty();
}

int WriteUnitFile(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return errno;

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
    return error;
}
