#include "config/AttributeSyntax.h"

#include <boost/lexical_cast.hpp>
#include <tinyxml2.h>

namespace korvel {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads the number modulo 2^32; false when no digit follows the sign.
bool ParseWrapping(const char* text, std::uint32_t& value)
{
    if (text == nullptr)
        return false;
    while (IsBlank(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    if (!IsDigit(*text))
        return false;
    std::uint32_t result = 0;
    for (; IsDigit(*text); ++text)
        result = result * 10u + static_cast<std::uint32_t>(*text - '0');
    value = negative ? 0u - result : result;
    return true;
}

} // namespace

bool ParseDecimal(const char* text, std::int32_t& value)
{
    std::uint32_t bits = 0;
    if (!ParseWrapping(text, bits))
        return false;
    value = static_cast<std::int32_t>(bits);
    return true;
}

bool ParseDecimal(const char* text, std::uint32_t& value)
{
    return ParseWrapping(text, value);
}

bool ParseStrictInteger(const char* text, std::int32_t& value)
{
    if (text == nullptr)
        return false;
    try {
        value = boost::lexical_cast<std::int32_t>(std::string(text));
        return true;
    } catch (const boost::bad_lexical_cast&) {
        return false;
    }
}

void ReadDecimalAttribute(const tinyxml2::XMLElement& element, const char* name,
                          std::int32_t& value)
{
    ParseDecimal(element.Attribute(name), value);
}

void ReadDecimalAttribute(const tinyxml2::XMLElement& element, const char* name,
                          std::uint32_t& value)
{
    ParseDecimal(element.Attribute(name), value);
}

std::string AttributeText(const tinyxml2::XMLElement& element, const char* name)
{
    const char* text = element.Attribute(name);
    return text ? std::string(text) : std::string();
}

bool HasText(const tinyxml2::XMLElement& element, const char* name)
{
    const char* text = element.Attribute(name);
    return text != nullptr && *text != '\0';
}

} // namespace korvel
