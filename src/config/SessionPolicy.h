#pragma once

#include <chrono>
#include <cstddef>

namespace korvel {

// How strict the operator client service is with its peers: RequireLogin and
// LoginThrottle of KorvelControl, MaxSessions of Options. The defaults keep
// to what every existing client expects.
struct SessionPolicy
{
    // Camera commands, CHOOSE and CANCEL count only from a session that has
    // logged in; until then they are ignored (and logged once per session).
    bool requireLogin = false;
    // With requireLogin, a session that has not logged in this long after it
    // was greeted is closed, so that connections which never log in cannot
    // hold the places of those that would.
    std::chrono::milliseconds loginTimeout = std::chrono::seconds(30);
    // Live sessions beyond which a new connection is closed at once, so that
    // a flood of connections cannot use up the process's descriptors.
    std::size_t maxSessions = 1000;
    // Failed LOGINs beyond the first few from an address are answered ever
    // more slowly (LoginThrottle).
    bool throttleLogins = true;

    bool operator==(const SessionPolicy&) const = default;
};

} // namespace korvel
