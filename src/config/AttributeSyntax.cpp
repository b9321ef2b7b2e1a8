#include "config/AttributeSyntax.h"

#include <tinyxml2.h>

#include <string_view>

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

} // namespace

std::optional<std::uint32_t> ParseDecimal(const char* text)
{
    if (text == nullptr)
        return std::nullopt;
    while (IsBlank(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    if (!IsDigit(*text))
        return std::nullopt;
    std::uint32_t result = 0;
    for (; IsDigit(*text); ++text)
        result = result * 10u + static_cast<std::uint32_t>(*text - '0');
    return negative ? 0u - result : result;
}

std::optional<std::int32_t> ParseSignedDecimal(const char* text)
{
    const std::optional<std::uint32_t> bits = ParseDecimal(text);
    if (!bits)
        return std::nullopt;
    return static_cast<std::int32_t>(*bits);
}

std::optional<std::int32_t> ParseStrictInteger(const char* text)
{
    if (text == nullptr)
        return std::nullopt;
    std::string_view rest(text);
    bool negative = false;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    if (rest.empty())
        return std::nullopt;
    constexpr std::int64_t Limit = std::int64_t{1} << 31; // the magnitude of the lowest value
    std::int64_t magnitude = 0;
    for (char c : rest) {
        if (!IsDigit(c))
            return std::nullopt;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > Limit)
            return std::nullopt;
    }
    if (!negative && magnitude == Limit)
        return std::nullopt;
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

void ReadDecimalAttribute(const tinyxml2::XMLElement& element, const char* name,
                          std::int32_t& value)
{
    if (const std::optional<std::int32_t> read = ParseSignedDecimal(element.Attribute(name)))
        value = *read;
}

void ReadDecimalAttribute(const tinyxml2::XMLElement& element, const char* name,
                          std::uint32_t& value)
{
    if (const std::optional<std::uint32_t> read = ParseDecimal(element.Attribute(name)))
        value = *read;
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
