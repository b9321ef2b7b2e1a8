#include "host/SystemdUnits_linux.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string ServiceUnitText(const ServiceUnitSettings& settings)
{
    std::string text = "[Unit]\nDescription=" + settings.description + "\n";
    for (const std::string& dependency : settings.dependencies)
        text += "Requires=" + dependency + ".service\nAfter=" + dependency + ".service\n";
    if (settings.restartOnFailure)
        text += "StartLimitIntervalSec=86400\nStartLimitBurst=3\n";
    text += "\n[Service]\nType=notify\nExecStart=" + ExecStartWord(settings.executablePath) + "\n";
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

std::string ExecStartWord(const std::string& path)
{
    std::string word;
    bool needsQuotes = false;
    for (const char c : path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '%' || c == '$') {
            word += c; // doubled: literal
            word += c;
        } else if (c == '\\' || c == '"') {
            word += '\\';
            word += c;
            needsQuotes = needsQuotes || c == '"';
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            word += escape;
            needsQuotes = true;
        } else {
            word += c;
            needsQuotes = needsQuotes || c == ' ' || c == '\'' || c == ';';
        }
    }
    return needsQuotes ? "\"" + word + "\"" : word;
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
