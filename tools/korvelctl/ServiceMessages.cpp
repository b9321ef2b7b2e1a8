#include "korvelctl/ServiceMessages.h"

#include "client/OperatorProtocol.h"
#include "text/OutsideText.h"

#include <cstddef>
#include <string_view>

namespace korvel {

namespace {

const std::size_t None = std::string::npos;

namespace Protocol = OperatorProtocol;

bool At(const std::string& text, std::size_t position, std::string_view prefix)
{
    return text.compare(position, prefix.size(), prefix) == 0;
}

// "0CAMERA\t" or "1CAMERA\t".
bool IsCameraMessage(const std::string& text, std::size_t position)
{
    return position < text.size() &&
           (text[position] == Protocol::SelectedByCommand ||
            text[position] == Protocol::HandedOverByTrigger) &&
           At(text, position + 1, Protocol::CameraTag);
}

constexpr std::size_t CameraFieldsStart = 1 + Protocol::CameraTag.size();

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsHex(char c)
{
    return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::size_t DigitRun(const std::string& text, std::size_t position, std::size_t most)
{
    std::size_t count = 0;
    while (position + count < text.size() && count < most && IsDigit(text[position + count]))
        ++count;
    return count;
}

bool IsColourPrefix(const std::string& text, std::size_t position)
{
    if (position + 8 > text.size() || text[position] != Protocol::NoticeMark ||
        text[position + 7] != ' ')
        return false;
    for (std::size_t i = 1; i <= 6; ++i)
        if (!IsHex(text[position + i]))
            return false;
    return true;
}

// Free text from 'from' that ends where whole messages follow: the first
// such end at or after 'shortest'.
std::size_t FreeTextEnd(const std::vector<bool>& whole, std::size_t from, std::size_t shortest)
{
    for (std::size_t end = from + shortest; end < whole.size(); ++end)
        if (whole[end])
            return end;
    return None;
}

// The end of the message that starts at 'position', given which later
// positions begin a run of whole messages; None when none fits.
std::size_t MessageEnd(const std::string& text, std::size_t position,
                       const std::vector<bool>& whole, const ExpectedAnswers& expected)
{
    auto fits = [&](std::size_t end) { return end <= text.size() && whole[end]; };

    if (expected.greeting && At(text, position, Protocol::GreetingPrefix)) {
        const std::size_t start = position + Protocol::GreetingPrefix.size();
        const std::size_t digits = DigitRun(text, start, 5);
        for (std::size_t count = digits; count >= 1; --count)
            if (fits(start + count))
                return start + count;
        return None;
    }
    for (const std::string_view answer : {Protocol::LoginAccepted, Protocol::LoginRefused}) {
        if (expected.loginAnswer && At(text, position, answer))
            return fits(position + answer.size()) ? position + answer.size() : None;
    }
    if (IsCameraMessage(text, position)) {
        const std::size_t addressTab = text.find('\t', position + CameraFieldsStart);
        if (addressTab == None)
            return None;
        const std::size_t numberStart = addressTab + 1;
        const std::size_t digits = DigitRun(text, numberStart, 10);
        for (std::size_t count = digits; count >= 1; --count) {
            const std::size_t end = numberStart + count;
            if (fits(end))
                return end;
            if (end < text.size() && text[end] == '\t') {
                const std::size_t nameEnd = FreeTextEnd(whole, end + 1, 1);
                if (nameEnd != None)
                    return nameEnd;
            }
        }
        return None;
    }
    if (IsColourPrefix(text, position))
        return FreeTextEnd(whole, position + 8, 0);
    return None;
}

int HexValue(char c)
{
    if (IsDigit(c))
        return c - '0';
    return (c >= 'a' ? c - 'a' : c - 'A') + 10;
}

// At most 'most' fields; the last takes the rest, tabs and all.
std::vector<std::string> SplitTabs(const std::string& text, std::size_t most)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = fields.size() + 1 < most ? text.find('\t', start) : None;
        fields.push_back(text.substr(start, tab == None ? None : tab - start));
        if (tab == None)
            return fields;
        start = tab + 1;
    }
}

ServiceNotice Unknown(const std::string& message)
{
    ServiceNotice notice;
    notice.text = "unrecognised message: " + EscapedText(message);
    return notice;
}

} // namespace

std::vector<std::string> SplitServiceMessages(const std::string& received,
                                              const ExpectedAnswers& expected)
{
    const std::size_t size = received.size();
    // whole[p]: the bytes from p to the end read as whole messages.
    std::vector<bool> whole(size + 1, false);
    std::vector<std::size_t> end(size + 1, None);
    whole[size] = true;
    for (std::size_t position = size; position-- > 0;) {
        end[position] = MessageEnd(received, position, whole, expected);
        whole[position] = end[position] != None;
    }

    std::vector<std::string> messages;
    std::size_t position = 0;
    while (position < size) {
        std::size_t next = end[position];
        if (next == None) {
            next = position + 1;
            while (!whole[next])
                ++next;
        }
        messages.push_back(received.substr(position, next - position));
        position = next;
    }
    return messages;
}

ServiceNotice ReadServiceMessage(const std::string& message)
{
    ServiceNotice notice;
    const std::size_t numberStart = Protocol::GreetingPrefix.size();
    if (At(message, 0, Protocol::GreetingPrefix) && message.size() > numberStart &&
        DigitRun(message, numberStart, 5) == message.size() - numberStart) {
        notice.kind = ServiceNotice::Kind::Session;
        notice.sessionNumber = std::stoi(message.substr(numberStart));
        notice.text = "session " + std::to_string(notice.sessionNumber);
        return notice;
    }
    if (message == Protocol::LoginAccepted) {
        notice.kind = ServiceNotice::Kind::LoginAccepted;
        notice.text = "login accepted";
        return notice;
    }
    if (message == Protocol::LoginRefused) {
        notice.kind = ServiceNotice::Kind::LoginRefused;
        notice.text = "login refused";
        return notice;
    }
    if (IsCameraMessage(message, 0)) {
        const std::vector<std::string> fields = SplitTabs(message.substr(CameraFieldsStart), 3);
        if (fields.size() < 2 || fields[1].empty() || fields[1].size() > 10 ||
            DigitRun(fields[1], 0, 10) != fields[1].size())
            return Unknown(message);
        notice.kind = ServiceNotice::Kind::Camera;
        const long long number = std::stoll(fields[1]);
        notice.pelcoNumber = number <= 255 ? static_cast<int>(number) : -1;
        notice.text =
            "camera " + fields[1] +
            (message[0] == Protocol::SelectedByCommand ? " selected by your command"
                                                       : " handed to you in choose mode") +
            ": address " + EscapedText(fields[0]);
        if (fields.size() == 3 && !fields[2].empty())
            notice.text += ", name " + EscapedText(fields[2]);
        return notice;
    }
    if (IsColourPrefix(message, 0)) {
        notice.kind = ServiceNotice::Kind::Status;
        notice.coloured = true;
        notice.red = static_cast<std::uint8_t>(HexValue(message[1]) * 16 + HexValue(message[2]));
        notice.green = static_cast<std::uint8_t>(HexValue(message[3]) * 16 + HexValue(message[4]));
        notice.blue = static_cast<std::uint8_t>(HexValue(message[5]) * 16 + HexValue(message[6]));
        const std::string status = message.substr(8);
        notice.text = status.empty() ? "control released" : EscapedText(status);
        return notice;
    }
    return Unknown(message);
}

} // namespace korvel
