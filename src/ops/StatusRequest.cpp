#include "ops/StatusRequest.h"

namespace korvel {

namespace {

// Takes as long for every wrong token of a length, so that the answer time
// does not tell how much of a guess was right.
bool SameText(std::string_view given, const std::string& expected)
{
    if (given.size() != expected.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    return difference == 0;
}

bool Authorized(std::string_view authorization, const std::string& token)
{
    if (token.empty())
        return true;
    constexpr std::string_view Scheme = "Bearer ";
    if (authorization.size() < Scheme.size())
        return false;
    // The scheme's name is not case-sensitive.
    for (std::size_t i = 0; i < Scheme.size(); ++i) {
        const char c = authorization[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        const char expected = Scheme[i] >= 'A' && Scheme[i] <= 'Z'
                                  ? static_cast<char>(Scheme[i] - 'A' + 'a')
                                  : Scheme[i];
        if (lower != expected)
            return false;
    }
    return SameText(authorization.substr(Scheme.size()), token);
}

} // namespace

StatusRoute RouteStatusRequest(std::string_view method, std::string_view target,
                               std::string_view authorization, const std::string& token)
{
    StatusRoute route;
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        route.code = 405;
        return route;
    }
    route.headOnly = head;
    if (!Authorized(authorization, token)) {
        route.code = 401;
        return route;
    }
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == "/status")
        route.content = StatusRoute::Content::Status;
    else if (path == "/metrics")
        route.content = StatusRoute::Content::Metrics;
    else if (path == "/" || path == "/index.html")
        route.content = StatusRoute::Content::Page;
    else
        route.code = 404;
    return route;
}

std::string_view ContentTypeOf(StatusRoute::Content content)
{
    switch (content) {
    case StatusRoute::Content::Status:
        return "application/json";
    case StatusRoute::Content::Metrics:
        return "text/plain; version=0.0.4; charset=utf-8";
    case StatusRoute::Content::Page:
        return "text/html; charset=utf-8";
    case StatusRoute::Content::Error:
        break;
    }
    return "text/plain; charset=utf-8";
}

std::string ErrorText(unsigned code)
{
    switch (code) {
    case 400:
        return "400 Bad Request\n";
    case 401:
        return "401 Unauthorized\n";
    case 404:
        return "404 Not Found\n";
    case 405:
        return "405 Method Not Allowed\n";
    case 431:
        return "431 Request Header Fields Too Large\n";
    default:
        return std::to_string(code) + "\n";
    }
}

} // namespace korvel
