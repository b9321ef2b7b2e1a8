#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The supervisor API's tokens: each names the supervisor it was issued to,
// and lapses IdleLapse after the last request that carried it. At most
// MaxTokens at once; a login beyond that takes the place of the token used
// longest ago. A token is looked up by comparing it with every token held,
// each comparison as long for every text of a length, so that the answer's
// time tells nothing of how much of a guess was right.
//
// Pure: the tokens are made outside (from the system's random source) and
// the time passed in.
class ApiTokens
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes IdleLapse{15};
    static constexpr std::size_t MaxTokens = 64;

    // The token now names the supervisor, from `now`.
    void Issue(std::string token, std::string supervisor, Clock::time_point now);
    // The supervisor the token names, its lapse moved on to IdleLapse after
    // `now`; none for a token not issued or lapsed.
    std::optional<std::string> Use(std::string_view token, Clock::time_point now);
    std::size_t Size() const { return tokens.size(); }

private:
    struct Token
    {
        std::string token;
        std::string supervisor;
        Clock::time_point lastUsed;
    };
    void DropLapsed(Clock::time_point now);

    std::vector<Token> tokens;
};

// The token of an "Authorization: Bearer T" header; empty when the header
// names another scheme or no token.
std::string_view BearerToken(std::string_view authorization);

// Whether the texts are the same, taking as long for every text of the
// expected one's length.
bool SameSecret(std::string_view given, std::string_view expected);

} // namespace korvel
