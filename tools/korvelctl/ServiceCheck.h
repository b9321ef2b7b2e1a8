#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// `korvelctl check`: does a tlKorvel greet on its operator port? For health
// checks (a VRRP track script): it connects, waits for the greeting, closes
// at once and never logs in.

// What the bytes received so far make of the greeting "SESSION <number>":
// too few to tell, the greeting, or something else.
enum class GreetingVerdict
{
    Incomplete,
    Greeting,
    NotGreeting
};
GreetingVerdict JudgeGreeting(std::string_view received);

// The check connects from a local port in this range: below the ports that
// Linux, Windows and macOS workstations connect from by default. The service
// knows a session by the client's port alone, so a check from a workstation's
// port would take that operator's session number.
inline constexpr unsigned short CheckPortLowest = 20000;
inline constexpr unsigned short CheckPortHighest = 32767;

struct CheckOptions
{
    std::string address = "127.0.0.1";
    std::string port = "55272";
    std::chrono::milliseconds timeout{2000};
};

// Runs one check: the empty text when a tlKorvel greeted in time, else one
// line saying why not.
std::string CheckService(const CheckOptions& options);

// The whole subcommand: arguments after "check"; returns the exit status.
int RunCheck(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace korvel
