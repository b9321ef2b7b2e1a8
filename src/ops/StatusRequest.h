#pragma once

#include <string>
#include <string_view>

namespace korvel {

// What the status server answers to one request, decided from its method,
// target and Authorization header alone.
struct StatusRoute
{
    enum class Content
    {
        Status,  // /status: the JSON document
        Metrics, // /metrics: the Prometheus text
        Page,    // /: the HTML page
        Error,   // a short plain-text reason
    };
    unsigned code = 200;
    Content content = Content::Error;
    bool headOnly = false; // HEAD: the headers of a GET, no body
};

// token: the configured StatusToken, empty for none. The query string of the
// target is ignored.
StatusRoute RouteStatusRequest(std::string_view method, std::string_view target,
                               std::string_view authorization, const std::string& token);

// The content type of each kind of answer.
std::string_view ContentTypeOf(StatusRoute::Content content);

// The text of an error answer, for example "404 Not Found".
std::string ErrorText(unsigned code);

} // namespace korvel
