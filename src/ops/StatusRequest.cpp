#include "ops/StatusRequest.h"

#include "ops/ApiTokens.h"

namespace korvel {

namespace {

bool Authorized(std::string_view authorization, const std::string& token)
{
    return token.empty() || SameSecret(BearerToken(authorization), token);
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
