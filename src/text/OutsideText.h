#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel {

// Texts here are 8-bit: an operator's name, a camera's name on its NVR, an
// address from the configuration, a line of a file. Nothing says they are
// UTF-8, so each use decides what to do with bytes that are not.

// The one rule for showing such text on a terminal or in a log line:
// control characters (C0, DEL and the C1 range U+0080 to U+009F), and bytes
// that are not part of well-formed UTF-8, are written as \xNN (upper-case
// hexadecimal, one per byte); everything else, valid UTF-8 included, passes
// unchanged. The result is printable and cannot split, forge or recolour a
// line, and escaping it again changes nothing.
std::string EscapedText(std::string_view text);

// The text with every byte that is not part of well-formed UTF-8 replaced
// by U+FFFD, for formats that must be UTF-8 (JSON, Prometheus labels).
std::string ValidUtf8(std::string_view text);

// The length of the well-formed UTF-8 sequence at the start of the text
// (1 for an ASCII byte); 0 when it does not start with one, or is empty.
std::size_t Utf8SequenceLength(std::string_view text);

} // namespace korvel
