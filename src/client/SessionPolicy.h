#pragma once

#include <cstddef>

namespace korvel {

// How strict the operator client service is with its peers. The defaults
// keep to what every existing client expects.
struct SessionPolicy
{
    // Camera commands, CHOOSE and CANCEL count only from a session that has
    // logged in; until then they are ignored (and logged once per session).
    bool requireLogin = false;
    // Live sessions beyond which a new connection is closed at once, so that
    // a flood of connections cannot use up the process's descriptors.
    std::size_t maxSessions = 1000;
};

} // namespace korvel
