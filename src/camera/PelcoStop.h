#pragma once

#include <cstddef>

namespace korvel {

// True when the command's last frame is a Pelco stop, to any camera address
// a, with its checksum right: Pelco-D FF a 00 00 00 00 sum, or Pelco-P
// A0 a 00 00 00 00 AF xor. The camera ends such a command standing still,
// whatever the frames before it asked for.
bool EndsInStopFrame(const char* bytes, std::size_t length);

} // namespace korvel
