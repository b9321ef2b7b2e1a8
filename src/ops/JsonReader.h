#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel {

// One value of a flat JSON object: the supervisor API's request bodies hold
// nothing else.
struct JsonValue
{
    enum class Kind
    {
        Null,
        Bool,
        Number, // an integer
        String,
    };
    Kind kind = Kind::Null;
    bool flag = false;
    std::int64_t number = 0;
    std::string text; // a string's value, escapes undone, valid UTF-8
};

struct JsonObjectRead
{
    std::vector<std::pair<std::string, JsonValue>> members; // in the order written
    std::string error; // why the text is refused; empty when it was read
    bool Ok() const { return error.empty(); }
};

// Reads text that must be one JSON object whose values are null, true,
// false, integers or strings, and nothing else but white space around it.
// Refused, with a short reason: anything else at the top, a nested object or
// array, a member named twice, a number with a fraction or exponent or
// beyond ±(2^53 - 1), a string that is not valid UTF-8 (raw or through
// escapes: lone surrogates), a control character in a string, and more than
// MaxMembers members. Pure.
JsonObjectRead ReadFlatJsonObject(std::string_view text);

inline constexpr std::size_t MaxJsonMembers = 16;

} // namespace korvel
