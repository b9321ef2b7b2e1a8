#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

// "FF 01 00 04 20 00 25": upper-case pairs separated by one blank.
std::string HexBytes(const Bytes& bytes);
std::string HexByte(std::uint8_t byte);

// Reads hexadecimal bytes written as pairs, with or without blanks between
// them ("ff 01 00" or "ff0100"); an optional "0x" before a pair is allowed.
// Returns nothing for an odd digit count or any other character.
std::optional<Bytes> ParseHexBytes(const std::string& text);

} // namespace korvel
