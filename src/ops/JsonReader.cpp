#include "ops/JsonReader.h"

#include <optional>

namespace korvel {

namespace {

constexpr std::int64_t MaxSafeInteger = (std::int64_t{1} << 53) - 1;

class Reader
{
public:
    explicit Reader(std::string_view text) : text(text) {}

    JsonObjectRead Object()
    {
        JsonObjectRead read;
        Space();
        if (!Take('{'))
            return Fail(read, "the body is not a JSON object");
        Space();
        if (Take('}'))
            return End(read);
        for (;;) {
            Space();
            std::string name;
            if (Peek() != '"')
                return Fail(read, "a member's name is not a string");
            if (!String(name))
                return Fail(read, error);
            for (const auto& member : read.members)
                if (member.first == name)
                    return Fail(read, "the field \"" + name + "\" is given twice");
            if (read.members.size() == MaxJsonMembers)
                return Fail(read, "too many fields");
            Space();
            if (!Take(':'))
                return Fail(read, "a ':' is missing after a name");
            Space();
            JsonValue value;
            if (!Value(value, name))
                return Fail(read, error);
            read.members.emplace_back(std::move(name), std::move(value));
            Space();
            if (Take(','))
                continue;
            if (Take('}'))
                return End(read);
            return Fail(read, "a ',' or '}' is missing");
        }
    }

private:
    JsonObjectRead End(JsonObjectRead& read)
    {
        Space();
        if (at != text.size())
            return Fail(read, "text follows the object");
        return std::move(read);
    }

    static JsonObjectRead Fail(JsonObjectRead& read, std::string reason)
    {
        read.members.clear();
        read.error = std::move(reason);
        return std::move(read);
    }

    char Peek() const { return at < text.size() ? text[at] : '\0'; }

    bool Take(char c)
    {
        if (Peek() != c || at >= text.size())
            return false;
        ++at;
        return true;
    }

    bool TakeWord(std::string_view word)
    {
        if (text.substr(at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }

    void Space()
    {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }

    bool Value(JsonValue& value, const std::string& name)
    {
        const char c = Peek();
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        }
        if (c == '{' || c == '[') {
            error = "the field \"" + name + "\" holds a nested value";
            return false;
        }
        if (TakeWord("null")) {
            value.kind = JsonValue::Kind::Null;
            return true;
        }
        if (TakeWord("true") || TakeWord("false")) {
            value.kind = JsonValue::Kind::Bool;
            value.flag = c == 't';
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            value.kind = JsonValue::Kind::Number;
            if (Number(value.number))
                return true;
            error = "the field \"" + name + "\" is not a whole number in range";
            return false;
        }
        error = "the field \"" + name + "\" holds no JSON value";
        return false;
    }

    bool Number(std::int64_t& number)
    {
        const bool negative = Take('-');
        if (!(Peek() >= '0' && Peek() <= '9'))
            return false;
        if (Peek() == '0' && at + 1 < text.size() && text[at + 1] >= '0' && text[at + 1] <= '9')
            return false; // a leading zero
        std::int64_t value = 0;
        while (Peek() >= '0' && Peek() <= '9') {
            value = value * 10 + (text[at++] - '0');
            if (value > MaxSafeInteger)
                return false;
        }
        if (Peek() == '.' || Peek() == 'e' || Peek() == 'E')
            return false;
        number = negative ? -value : value;
        return true;
    }

    std::optional<unsigned> Hex4()
    {
        if (text.size() - at < 4)
            return std::nullopt;
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text[at++];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<unsigned>(c - 'A' + 10);
            else
                return std::nullopt;
        }
        return value;
    }

    static void AppendUtf8(std::string& out, unsigned code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // One UTF-8 sequence from the text, checked as RFC 3629 has it (no
    // overlong forms, no surrogates, nothing beyond U+10FFFF).
    bool Utf8(std::string& out)
    {
        const auto byte = [this](std::size_t i) {
            return static_cast<unsigned char>(text[at + i]);
        };
        const unsigned char lead = byte(0);
        std::size_t length = 0;
        unsigned code = 0;
        unsigned minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1Fu, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0Fu, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07u, minimum = 0x10000;
        } else {
            return false;
        }
        if (text.size() - at < length)
            return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((byte(i) & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (byte(i) & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        out.append(text.substr(at, length));
        at += length;
        return true;
    }

    bool String(std::string& out)
    {
        ++at; // the opening quote
        for (;;) {
            if (at >= text.size()) {
                error = "a string is not closed";
                return false;
            }
            const unsigned char c = static_cast<unsigned char>(text[at]);
            if (c == '"') {
                ++at;
                return true;
            }
            if (c < 0x20) {
                error = "a string holds a control character";
                return false;
            }
            if (c >= 0x80) {
                if (!Utf8(out)) {
                    error = "a string is not valid UTF-8";
                    return false;
                }
                continue;
            }
            ++at;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const char escape = Peek();
            ++at;
            switch (escape) {
            case '"':
            case '\\':
            case '/':
                out += escape;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                const auto first = Hex4();
                if (!first) {
                    error = "a string holds a bad \\u escape";
                    return false;
                }
                unsigned code = *first;
                if (code >= 0xDC00 && code <= 0xDFFF) {
                    error = "a string is not valid UTF-8";
                    return false;
                }
                if (code >= 0xD800 && code <= 0xDBFF) {
                    std::optional<unsigned> second;
                    if (Take('\\') && Take('u'))
                        second = Hex4();
                    if (!second || *second < 0xDC00 || *second > 0xDFFF) {
                        error = "a string is not valid UTF-8";
                        return false;
                    }
                    code = 0x10000 + ((code - 0xD800) << 10) + (*second - 0xDC00);
                }
                AppendUtf8(out, code);
                break;
            }
            default:
                error = "a string holds a bad escape";
                return false;
            }
        }
    }

    std::string_view text;
    std::size_t at = 0;
    std::string error;
};

} // namespace

JsonObjectRead ReadFlatJsonObject(std::string_view text)
{
    return Reader(text).Object();
}

} // namespace korvel
