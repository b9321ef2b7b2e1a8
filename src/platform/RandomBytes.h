#pragma once

#include <cstddef>

namespace korvel {

// Fills the buffer from the system's cryptographic random source (secrets
// such as the supervisor API's tokens). False when the source fails, which
// leaves the buffer unusable.
bool RandomBytes(unsigned char* buffer, std::size_t size);

} // namespace korvel
