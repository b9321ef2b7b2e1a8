#pragma once

#include "ops/SupervisorActions.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// The requests of the supervisor API, read from their method, path and
// body, and the answers, JSON all of them: {"result": "done"},
// {"token": T} or {"error": REASON}.
//
//   POST   /api/login                {"user": NAME, "password": PASSWORD}
//   POST   /api/cameras/P/release
//   POST   /api/cameras/P/reserve    {"user": NAME or null, "minutes": 1..1440}
//   DELETE /api/cameras/P/reserve
//   POST   /api/sessions/N/end
//
// A body is JSON (Content-Type application/json) of at most MaxBodyBytes;
// the requests without fields take no body or {}. Every field is checked:
// one missing, unknown, of the wrong type or out of range is a 400 that
// names it. Pure.
struct ApiCall
{
    enum class Kind
    {
        Login,
        Release,
        Reserve,
        Unreserve,
        EndSession,
    };
    Kind kind = Kind::Login;
    std::uint32_t camera = 0;   // Release, Reserve, Unreserve
    std::uint16_t session = 0;  // EndSession
    std::string user;           // Login
    std::string password;       // Login
    std::optional<std::string> forUser; // Reserve: none for nobody
    std::chrono::minutes minutes{0};    // Reserve
};

struct ApiAnswer
{
    unsigned code = 200;
    std::string body;  // the JSON document, ending in a newline
    std::string allow; // 405: the methods the path takes
};

inline constexpr std::size_t MaxApiBodyBytes = 4 * 1024;
inline constexpr std::chrono::minutes MaxReserveMinutes{1440};

// Whether the path (without its query) is the API's.
bool IsApiPath(std::string_view path);

// The call the method and path ask for, or the answer when they ask for
// none: 404 for a path the API does not have (also a camera or session
// number that cannot be one), 405 for a method the path does not take.
struct ApiRoute
{
    std::optional<ApiCall> call;
    ApiAnswer answer;
};
ApiRoute RouteApiRequest(std::string_view method, std::string_view path);

// Fills the call's fields from the body; the answer when it cannot be used
// (415 not JSON, 400 with the reason).
std::optional<ApiAnswer> ReadApiBody(ApiCall& call, std::string_view contentType,
                                     std::string_view body);

ApiAnswer ApiError(unsigned code, std::string_view reason);
ApiAnswer ApiDone();
ApiAnswer ApiTokenAnswer(std::string_view token);
// The answer to a carried-out action: 200, 404 or 409 with its reason.
ApiAnswer ApiAnswerOf(const SupervisorActions::Result& result, const ApiCall& call);

} // namespace korvel
