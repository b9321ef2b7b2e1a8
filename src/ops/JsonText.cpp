#include "ops/JsonText.h"

#include "text/OutsideText.h"

#include <cstdio>

namespace korvel {

void AppendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : ValidUtf8(text)) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void AppendJsonOrNull(std::string& out, const std::optional<std::string>& text)
{
    if (text)
        AppendJsonString(out, *text);
    else
        out += "null";
}

} // namespace korvel
