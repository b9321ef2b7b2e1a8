#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace korvel {

// korvelctl hash-password: reads a password from standard input (at a
// terminal without echo, asked for twice; from a pipe or file, its first
// line) and prints its yescrypt hash for a User's PasswordHash. Exit status
// 0, or 1 with one line on `err` (an empty password, two that differ, no
// input, an argument).
int RunHashPassword(const std::vector<std::string>& arguments, std::istream& in,
                    std::ostream& out, std::ostream& err);

} // namespace korvel
