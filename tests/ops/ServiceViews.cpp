#include "ServiceViews.h"

#include "support/TempDir.h"
#include "support/UnusedPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <cwchar>
#include <cwctype>
#include <locale.h>
#include <regex>
#include <sstream>

namespace korvel::service_views {

namespace {

const char* const Host = "127.0.0.2";

} // namespace

std::string StatusServerOptions()
{
    return std::string("StatusAddress=\"") + Host + "\" StatusPort=\"" +
           std::to_string(UnusedPort()) + "\"";
}

std::uint16_t StatusServerPort(const ServiceProcess& service)
{
    if (!service.WaitForLog("Status server listening on "))
        return 0;
    std::smatch match;
    const std::string log = service.Log();
    if (!std::regex_search(log, match,
                           std::regex("Status server listening on http://[0-9.]+:([0-9]+)/")))
        return 0;
    return static_cast<std::uint16_t>(std::stoul(match[1]));
}

std::string StatusServerGet(std::uint16_t port, const std::string& target)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, Host, &address.sin_addr);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request =
            "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[8192];
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    const auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string PromtoolComplaints(const std::string& metrics)
{
    TempDir dir;
    WriteFile(dir.File("metrics.txt"), metrics);
    const RunResult lint =
        RunToEnd("/bin/sh", {"-c", "promtool check metrics < " + dir.File("metrics.txt")});
    return lint.exitStatus == 0 ? std::string() : "promtool: " + lint.out + lint.err;
}

std::string AuditTableOf(const std::string& file)
{
    return RunToEnd(KORVELCTL_BINARY, {"audit", file}).out;
}

int AuditRecords(const std::string& text, const std::string& event)
{
    int count = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        count += line.find("\"event\":\"" + event + "\"") != std::string::npos ? 1 : 0;
    return count;
}

bool ShowsAsItIs(const std::string& text)
{
    // The C library's own UTF-8 reading, not the service's.
    const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8 == locale_t(0))
        return false;
    const locale_t previous = ::uselocale(utf8);
    bool shows = true;
    std::mbstate_t state{};
    for (std::size_t i = 0; shows && i < text.size();) {
        wchar_t character = 0;
        const std::size_t length = std::mbrtowc(&character, text.data() + i, text.size() - i, &state);
        shows = length != 0 && length <= 4 && (character == L'\n' || !std::iswcntrl(character));
        i += length == 0 ? 1 : length;
    }
    ::uselocale(previous);
    ::freelocale(utf8);
    return shows;
}

} // namespace korvel::service_views
