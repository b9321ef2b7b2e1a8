#include "config/PasswordHashFormat.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace korvel {

namespace {

// crypt's own base-64 alphabet.
bool CryptAlphabet(std::string_view text)
{
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '/';
        if (!ok)
            return false;
    }
    return true;
}

bool Digits(std::string_view text)
{
    if (text.empty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The fields after the prefix "$id$", split at '$'.
std::vector<std::string_view> Fields(std::string_view rest)
{
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t dollar = rest.find('$');
        fields.push_back(rest.substr(0, dollar));
        if (dollar == std::string_view::npos)
            return fields;
        rest.remove_prefix(dollar + 1);
    }
}

bool Yescrypt(std::string_view rest)
{
    const std::vector<std::string_view> fields = Fields(rest);
    if (fields.size() != 3)
        return false;
    for (const std::string_view field : fields) {
        if (field.empty() || !CryptAlphabet(field))
            return false;
    }
    return fields[2].size() == 43;
}

bool Bcrypt(std::string_view rest)
{
    const std::vector<std::string_view> fields = Fields(rest);
    if (fields.size() != 2 || fields[0].size() != 2 || !Digits(fields[0]))
        return false;
    const int cost = (fields[0][0] - '0') * 10 + (fields[0][1] - '0');
    return cost >= 4 && cost <= 31 && fields[1].size() == 53 && CryptAlphabet(fields[1]);
}

bool Sha512(std::string_view rest)
{
    std::vector<std::string_view> fields = Fields(rest);
    if (fields.size() == 3) {
        constexpr std::string_view rounds = "rounds=";
        if (fields[0].substr(0, rounds.size()) != rounds ||
            !Digits(fields[0].substr(rounds.size())) || fields[0].size() > rounds.size() + 9)
            return false;
        fields.erase(fields.begin());
    }
    return fields.size() == 2 && fields[0].size() <= 16 && CryptAlphabet(fields[0]) &&
           fields[1].size() == 86 && CryptAlphabet(fields[1]);
}

} // namespace

PasswordHashFormat PasswordHashFormatOf(std::string_view hash)
{
    auto after = [hash](std::string_view prefix) -> std::optional<std::string_view> {
        if (hash.substr(0, prefix.size()) != prefix)
            return std::nullopt;
        return hash.substr(prefix.size());
    };
    if (const auto rest = after("$y$"); rest && Yescrypt(*rest))
        return PasswordHashFormat::Yescrypt;
    for (const std::string_view prefix : {"$2a$", "$2b$", "$2y$"}) {
        if (const auto rest = after(prefix); rest && Bcrypt(*rest))
            return PasswordHashFormat::Bcrypt;
    }
    if (const auto rest = after("$6$"); rest && Sha512(*rest))
        return PasswordHashFormat::Sha512;
    return PasswordHashFormat::Malformed;
}

std::string_view PasswordHashFormatName(PasswordHashFormat format)
{
    switch (format) {
    case PasswordHashFormat::Yescrypt:
        return "yescrypt";
    case PasswordHashFormat::Bcrypt:
        return "bcrypt";
    case PasswordHashFormat::Sha512:
        return "SHA-512";
    case PasswordHashFormat::Malformed:
        break;
    }
    return "malformed";
}

} // namespace korvel
