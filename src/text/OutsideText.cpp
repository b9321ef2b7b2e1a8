#include "text/OutsideText.h"

namespace korvel {

namespace {

void AppendHexEscape(std::string& out, unsigned char byte)
{
    static const char Digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += Digits[byte >> 4];
    out += Digits[byte & 0x0f];
}

bool IsControl(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7f;
}

// U+0080 to U+009F, encoded as C2 80 to C2 9F: terminals may act on them as
// they do on ESC sequences.
bool IsC1Control(std::string_view sequence)
{
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xc2 &&
           static_cast<unsigned char>(sequence[1]) < 0xa0;
}

} // namespace

std::size_t Utf8SequenceLength(std::string_view text)
{
    if (text.empty())
        return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4;
    if (length == 0 || text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xed && byte(1) >= 0xa0) ||
        (lead == 0xf0 && byte(1) < 0x90) || (lead == 0xf4 && byte(1) >= 0x90))
        return 0;
    return length;
}

std::string EscapedText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text.substr(i));
        const std::string_view sequence = text.substr(i, length);
        if (length == 0 || (length == 1 && IsControl(static_cast<unsigned char>(text[i])))) {
            AppendHexEscape(out, static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (IsC1Control(sequence)) {
            for (const char c : sequence)
                AppendHexEscape(out, static_cast<unsigned char>(c));
        } else {
            out += sequence;
        }
        i += length;
    }
    return out;
}

std::string ValidUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text.substr(i));
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out += text.substr(i, length);
            i += length;
        }
    }
    return out;
}

} // namespace korvel
