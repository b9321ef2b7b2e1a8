#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace korvel {

// One configured operator.
struct UserAccount
{
    std::string name;
    std::string password; // empty: any password is accepted
    std::int32_t priority = 0;

    bool operator==(const UserAccount&) const = default;
};

// Operators by Name, ordered byte-wise; the first entry of a name stays.
using UserTable = std::map<std::string, UserAccount>;

} // namespace korvel
