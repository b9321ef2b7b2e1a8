#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tinyxml2 {
class XMLElement;
}

namespace korvel {

// The value syntaxes of tlKorvel.xml attributes.
//
// decimal: leading white space, an optional sign, then decimal digits; reading
// stops at the first other character ("12abc" reads as 12). Text without
// leading digits leaves the value unchanged. Values wrap modulo 2^32, so an
// unsigned "-1" reads as 4294967295.
//
// strict integer: the whole text is an optional sign and decimal digits whose
// value fits a signed 32-bit integer; anything else is invalid.
//
// text: as written, entities decoded, nothing trimmed.

// The decimal number the text starts with; none without one (or without text).
std::optional<std::int32_t> ParseSignedDecimal(const char* text);
std::optional<std::uint32_t> ParseDecimal(const char* text);

// The strict integer the whole text is; none when it is not one.
std::optional<std::int32_t> ParseStrictInteger(const char* text);

// Reads a decimal attribute; a missing attribute or one without leading
// digits leaves the value unchanged.
void ReadDecimalAttribute(const tinyxml2::XMLElement& element, const char* name,
                          std::int32_t& value);
void ReadDecimalAttribute(const tinyxml2::XMLElement& element, const char* name,
                          std::uint32_t& value);

// The attribute's text, empty when the attribute is missing.
std::string AttributeText(const tinyxml2::XMLElement& element, const char* name);

// True when the attribute is present and not empty.
bool HasText(const tinyxml2::XMLElement& element, const char* name);

} // namespace korvel
