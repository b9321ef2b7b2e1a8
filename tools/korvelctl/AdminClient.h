#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// `korvelctl admin`: a supervisor's requests to the supervisor API of the
// status server (login, status, release, reserve, unreserve, end).
//
// The token of a login is kept between calls in a file only its user may
// read (mode 0600), with the status server's URL: $KORVELCTL_TOKEN_FILE, else
// $XDG_RUNTIME_DIR/korvelctl-token (on Windows
// %LOCALAPPDATA%\tlKorvel\korvelctl-token); or, with `login --print`, printed for the caller to keep
// in $KORVEL_TOKEN, which then takes the file's place.

// Exit statuses.
inline constexpr int AdminDone = 0;
inline constexpr int AdminUsage = 1;        // also no token, no URL
inline constexpr int AdminUnauthorized = 2; // 401, 403: refused login, lapsed token, no longer a supervisor
inline constexpr int AdminUnreachable = 3;  // cannot connect, no answer in time, not the API
inline constexpr int AdminNotFound = 4;     // 404
inline constexpr int AdminConflict = 5;     // 409
inline constexpr int AdminRefused = 6;      // 400, 413, 415 and any other answer

struct HttpUrl
{
    std::string host;
    std::string port;
    std::string base; // the path the API's paths are put after, ending in '/'
};
// "http://HOST[:PORT][/PATH]"; none for anything else.
std::optional<HttpUrl> ParseHttpUrl(const std::string& text);

// The exit status and the line to print for an answer's status code and its
// {"error": REASON}.
struct AdminVerdict
{
    int status = AdminDone;
    std::string message;
};
AdminVerdict JudgeAnswer(unsigned code, const std::string& body);

// The whole subcommand: arguments after "admin"; returns the exit status.
int RunAdmin(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
             std::ostream& err);

} // namespace korvel
