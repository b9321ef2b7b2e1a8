#include "client/OperatorMessage.h"

#include "client/OperatorProtocol.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace korvel {

namespace {

// After "LOGIN" and one separator byte.
constexpr std::size_t NameStart = OperatorProtocol::Login.size() + 1;

bool StartsWith(const char* bytes, std::size_t count, std::string_view word)
{
    return count >= word.size() && std::memcmp(bytes, word.data(), word.size()) == 0;
}

void ReadLogin(const char* bytes, std::size_t count, OperatorMessage& message)
{
    if (count <= NameStart)
        return;
    const char* const begin = bytes + NameStart;
    const char* const end = std::find(begin, bytes + count, '\0');
    const char* const blank = std::find(begin, end, ' ');
    message.name.assign(begin, blank);
    if (blank != end)
        message.password.assign(blank + 1, end);
}

} // namespace

OperatorMessage ParseOperatorMessage(const char* bytes, std::size_t count)
{
    OperatorMessage message;
    if (StartsWith(bytes, count, OperatorProtocol::Login)) {
        message.kind = OperatorMessage::Kind::Login;
        ReadLogin(bytes, count, message);
    } else if (StartsWith(bytes, count, OperatorProtocol::Choose)) {
        message.kind = OperatorMessage::Kind::Choose;
    } else if (StartsWith(bytes, count, OperatorProtocol::Cancel)) {
        message.kind = OperatorMessage::Kind::Cancel;
    } else {
        message.pelcoAddress = count > 1 ? static_cast<unsigned char>(bytes[1]) : 0u;
    }
    return message;
}

} // namespace korvel
