#include "log/LogText.h"

namespace korvel {

std::string LogSafe(const char* data, std::size_t length)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 || c == 0x7f) {
            result += "\\x";
            result += Hex[c >> 4];
            result += Hex[c & 0x0f];
        } else {
            result += static_cast<char>(c);
        }
    }
    return result;
}

std::string LogSafe(const std::string& text)
{
    return LogSafe(text.data(), text.size());
}

} // namespace korvel
