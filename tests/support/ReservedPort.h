#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// A port on a loopback address where nothing listens, for an NVR that must
// be configured before it comes: held bound (but not listening) for the
// object's life, so that no other socket is given it meanwhile, while a
// listener that reuses addresses, as the NVR simulator's does, can still
// take it up and leave it again.
class ReservedPort
{
public:
    explicit ReservedPort(const std::string& host);
    ~ReservedPort();
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    std::uint16_t Port() const { return port; }

private:
    int socket = -1;
    std::uint16_t port = 0;
};

} // namespace korvel
