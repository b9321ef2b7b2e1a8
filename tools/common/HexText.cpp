#include "common/HexText.h"

#include <cctype>

namespace korvel {

namespace {

const char Digits[] = "0123456789ABCDEF";

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string HexByte(std::uint8_t byte)
{
    return {Digits[byte >> 4], Digits[byte & 0x0F]};
}

std::string HexBytes(const Bytes& bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += HexByte(byte);
    }
    return text;
}

std::optional<Bytes> ParseHexBytes(const std::string& text)
{
    Bytes bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X'))
            i += 2;
        if (i + 1 >= text.size())
            return std::nullopt;
        const int high = DigitValue(text[i]);
        const int low = DigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    return bytes;
}

} // namespace korvel
