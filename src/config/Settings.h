#pragma once

#include <cstdint>
#include <string>

// Listen address and port of the operator client service, set by the
// configuration loader and read by the run sequence.
extern std::string ClientAddress;
extern std::uint32_t ClientPort;

// The client service's session policy: RequireLogin of KorvelControl (off
// unless set) and MaxSessions of Options (1000 unless set).
extern bool RequireLogin;
extern std::uint32_t MaxSessions;
