#include "log/LogText.h"

#include "text/OutsideText.h"

namespace korvel {

std::string LogSafe(std::string_view text)
{
    return EscapedText(text);
}

std::string LogSafe(const char* data, std::size_t length)
{
    return EscapedText(std::string_view(data, length));
}

} // namespace korvel
