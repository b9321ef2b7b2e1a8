#include "platform/PasswordCheck.h"

#include <crypt.h>

#include <cstddef>
#include <memory>
#include <random>

namespace korvel {

namespace {

// Every byte of the longer compared, so that the time says nothing of
// where the two differ.
bool SameInConstantTime(const char* a, std::size_t aSize, const std::string& b)
{
    const std::size_t size = aSize > b.size() ? aSize : b.size();
    unsigned char differ = aSize == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char x = i < aSize ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        differ |= static_cast<unsigned char>(x ^ y);
    }
    return differ == 0;
}

std::size_t Length(const char* text, std::size_t max)
{
    std::size_t length = 0;
    while (length < max && text[length] != '\0')
        ++length;
    return length;
}

} // namespace

bool PasswordMatchesHash(const std::string& password, const std::string& hash)
{
    // A password with a zero byte would be cut short by crypt.
    if (hash.empty() || password.find('\0') != std::string::npos)
        return false;
    auto data = std::make_unique<crypt_data>(); // tens of kilobytes: not on the stack
    const char* out = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
    // A failure gives no hash, or one starting with '*' that no stored hash is.
    if (!out || out[0] == '*')
        return false;
    return SameInConstantTime(out, Length(out, sizeof data->output), hash);
}

std::string HashPassword(const std::string& password)
{
    if (password.find('\0') != std::string::npos)
        return {};
    // The salt's bytes from the system's random source (the crypt library
    // finds none of its own on Windows).
    std::random_device random;
    unsigned char bytes[16];
    for (unsigned char& byte : bytes)
        byte = static_cast<unsigned char>(random());
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, reinterpret_cast<const char*>(bytes), sizeof bytes, salt,
                          sizeof salt))
        return {};
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(password.c_str(), salt, data.get(), sizeof *data);
    if (!out || out[0] == '*')
        return {};
    return out;
}

} // namespace korvel
