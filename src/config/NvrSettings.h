#pragma once

#include <string>

namespace korvel {

// One configured NVR: where it listens and whom the service logs in as.
struct NvrSettings
{
    std::string address = "127.0.0.1";
    int port = 22609;
    std::string login;
    std::string password;

    bool operator==(const NvrSettings&) const = default;
};

} // namespace korvel
