#include "support/StatusRequests.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

namespace korvel {

int ConnectToStatus(std::uint16_t port, const std::string& from)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!from.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, StatusHost, &address.sin_addr);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Exchange(std::uint16_t port, const std::string& request)
{
    const int fd = ConnectToStatus(port);
    if (fd < 0)
        return "cannot connect";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[8192];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return answer;
}

std::string Get(std::uint16_t port, const std::string& target, const std::string& headers)
{
    return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers +
                              "Connection: close\r\n\r\n");
}

std::string Body(const std::string& answer)
{
    const auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string StatusLine(const std::string& answer)
{
    return answer.substr(0, answer.find("\r\n"));
}

std::uint16_t StatusPortOf(const ServiceProcess& service)
{
    EXPECT_TRUE(service.WaitForLog("Status server listening on ")) << service.Log();
    std::smatch match;
    const std::string log = service.Log();
    if (!std::regex_search(log, match,
                           std::regex("Status server listening on http://[0-9.]+:([0-9]+)/")))
        return 0;
    return static_cast<std::uint16_t>(std::stoul(match[1]));
}

} // namespace korvel
