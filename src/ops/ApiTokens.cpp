#include "ops/ApiTokens.h"

#include <algorithm>

namespace korvel {

bool SameSecret(std::string_view given, std::string_view expected)
{
    if (given.size() != expected.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    return difference == 0;
}

std::string_view BearerToken(std::string_view authorization)
{
    constexpr std::string_view Scheme = "bearer ";
    if (authorization.size() <= Scheme.size())
        return {};
    for (std::size_t i = 0; i < Scheme.size(); ++i) {
        const char c = authorization[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != Scheme[i])
            return {};
    }
    return authorization.substr(Scheme.size());
}

void ApiTokens::DropLapsed(Clock::time_point now)
{
    std::erase_if(tokens, [now](const Token& held) { return now - held.lastUsed >= IdleLapse; });
}

void ApiTokens::Issue(std::string token, std::string supervisor, Clock::time_point now)
{
    DropLapsed(now);
    if (tokens.size() >= MaxTokens) {
        const auto oldest = std::min_element(
            tokens.begin(), tokens.end(),
            [](const Token& a, const Token& b) { return a.lastUsed < b.lastUsed; });
        tokens.erase(oldest);
    }
    tokens.push_back({std::move(token), std::move(supervisor), now});
}

std::optional<std::string> ApiTokens::Use(std::string_view token, Clock::time_point now)
{
    DropLapsed(now);
    Token* found = nullptr;
    // No early exit: every held token is compared.
    for (auto& held : tokens)
        if (SameSecret(token, held.token) && !token.empty())
            found = &held;
    if (!found)
        return std::nullopt;
    found->lastUsed = now;
    return found->supervisor;
}

} // namespace korvel
