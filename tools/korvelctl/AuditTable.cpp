#include "korvelctl/AuditTable.h"

#include "text/OutsideText.h"

#include <algorithm>
#include <fstream>
#include <istream>
#include <ostream>

namespace korvel {

namespace {

// Reads the flat objects the service writes: string, number, true, false and
// null values, no nesting.
class LineParser
{
public:
    explicit LineParser(const std::string& text) : text(text) {}

    std::optional<AuditFields> Object()
    {
        AuditFields fields;
        SkipBlanks();
        if (!Take('{'))
            return std::nullopt;
        SkipBlanks();
        if (Take('}'))
            return End(fields);
        do {
            SkipBlanks();
            const auto key = String();
            SkipBlanks();
            if (!key || !Take(':'))
                return std::nullopt;
            SkipBlanks();
            std::optional<std::string> value;
            if (at < text.size() && text[at] == '"') {
                value = String();
                if (!value)
                    return std::nullopt;
            } else if (!Word(value)) {
                return std::nullopt;
            }
            fields[*key] = value;
            SkipBlanks();
        } while (Take(','));
        if (!Take('}'))
            return std::nullopt;
        return End(fields);
    }

private:
    std::optional<AuditFields> End(const AuditFields& fields)
    {
        SkipBlanks();
        return at == text.size() ? std::optional<AuditFields>(fields) : std::nullopt;
    }

    void SkipBlanks()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r'))
            ++at;
    }

    bool Take(char c)
    {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }

    // A number, true, false or null (none).
    bool Word(std::optional<std::string>& value)
    {
        const std::size_t start = at;
        while (at < text.size() && std::string_view("+-.0123456789eEtruefalsn").find(text[at]) !=
                                       std::string_view::npos)
            ++at;
        const std::string word = text.substr(start, at - start);
        if (word.empty())
            return false;
        if (word == "null")
            value.reset();
        else
            value = word;
        return true;
    }

    static void AppendUtf8(std::string& out, unsigned code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xc0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        }
    }

    std::optional<std::string> String()
    {
        if (!Take('"'))
            return std::nullopt;
        std::string value;
        while (at < text.size()) {
            const char c = text[at++];
            if (c == '"')
                return value;
            if (c != '\\') {
                value += c;
                continue;
            }
            if (at >= text.size())
                return std::nullopt;
            const char escaped = text[at++];
            switch (escaped) {
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 't':
                value += '\t';
                break;
            case 'b':
                value += '\b';
                break;
            case 'f':
                value += '\f';
                break;
            case 'u': {
                if (at + 4 > text.size())
                    return std::nullopt;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const char digit = text[at++];
                    code <<= 4;
                    if (digit >= '0' && digit <= '9')
                        code |= static_cast<unsigned>(digit - '0');
                    else if (digit >= 'a' && digit <= 'f')
                        code |= static_cast<unsigned>(digit - 'a' + 10);
                    else if (digit >= 'A' && digit <= 'F')
                        code |= static_cast<unsigned>(digit - 'A' + 10);
                    else
                        return std::nullopt;
                }
                AppendUtf8(value, code);
                break;
            }
            default:
                value += escaped; // \" \\ \/
            }
        }
        return std::nullopt;
    }

    const std::string& text;
    std::size_t at = 0;
};

// The text and the blanks that make it `width` characters wide (UTF-8
// sequences count as one), then the gap to the next column.
std::string Pad(const std::string& text, std::size_t width)
{
    const auto characters =
        static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
        }));
    return text + std::string(width > characters ? width - characters : 0, ' ') + "  ";
}

std::string Field(const AuditFields& record, const char* name)
{
    const auto found = record.find(name);
    return found == record.end() || !found->second ? std::string() : *found->second;
}

// Who a session was: "ann (50123)" or "50123".
std::string Who(const AuditFields& record, const std::string& prefix)
{
    const std::string session = Field(record, (prefix + "session").c_str());
    const std::string user = Field(record, (prefix + "user").c_str());
    return user.empty() ? session : user + " (" + session + ")";
}

std::string Detail(const AuditFields& record)
{
    const std::string event = Field(record, "event");
    if (record.count("previous_session"))
        return "took it from " + Who(record, "previous_") + ", priority " +
               Field(record, "previous_priority");
    if (record.count("holder_session"))
        return "held by " + Who(record, "holder_") + ", priority " +
               Field(record, "holder_priority");
    if (record.count("client"))
        return "from " + Field(record, "client");
    if (event == "release")
        return "hold lapsed";
    if (event == "handover")
        return "NVR soft trigger";
    if (event == "reload")
        return Field(record, "summary");
    return "";
}

// The user column: "-" for none, and a name the service cut short (a
// failed login for no configured user) ends in "…".
std::string UserText(const AuditFields& record)
{
    const auto user = record.find("user");
    if (user == record.end())
        return "";
    if (!user->second)
        return "-";
    return *user->second + (Field(record, "user_cut") == "true" ? "\xe2\x80\xa6" : "");
}

// "2026-12-08T02:13:04.007Z" as "2026-12-08 02:13:04.007".
std::string TimeText(const std::string& time)
{
    std::string text = time;
    std::replace(text.begin(), text.end(), 'T', ' ');
    if (!text.empty() && text.back() == 'Z')
        text.pop_back();
    return text;
}

} // namespace

std::optional<AuditFields> ParseAuditLine(const std::string& line)
{
    return LineParser(line).Object();
}

bool AuditFilter::Admits(const AuditFields& record) const
{
    if (camera && Field(record, "camera") != *camera)
        return false;
    if (user && Field(record, "user") != *user)
        return false;
    if (since) {
        std::string from = *since;
        std::replace(from.begin(), from.end(), ' ', 'T');
        if (Field(record, "time") < from)
            return false;
    }
    return true;
}

void PrintAuditTable(std::istream& in, const AuditFilter& filter, std::ostream& out,
                     std::size_t& skipped)
{
    skipped = 0;
    // Every field is shown escaped: the file holds what peers sent, and
    // JSON's escapes would otherwise bring back their control characters.
    const auto row = [&out](const std::string& time, const std::string& event,
                            const std::string& camera, const std::string& session,
                            const std::string& user, const std::string& priority,
                            const std::string& detail) {
        const auto cell = [](const std::string& text, std::size_t width) {
            return Pad(EscapedText(text), width);
        };
        std::string text = cell(time, 23) + cell(event, 12) + cell(camera, 6) + cell(session, 7) +
                           cell(user, 16) + cell(priority, 8) + EscapedText(detail);
        text.erase(text.find_last_not_of(' ') + 1);
        out << text << "\n";
    };
    row("TIME (UTC)", "EVENT", "CAMERA", "SESSION", "USER", "PRIORITY", "DETAIL");
    for (std::string line; std::getline(in, line);) {
        if (line.empty())
            continue;
        const auto record = ParseAuditLine(line);
        if (!record || !record->count("event") || !record->count("time")) {
            ++skipped;
            continue;
        }
        if (!filter.Admits(*record))
            continue;
        row(TimeText(Field(*record, "time")), Field(*record, "event"), Field(*record, "camera"),
            Field(*record, "session"), UserText(*record), Field(*record, "priority"),
            Detail(*record));
    }
}

int RunAudit(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    const char* const usage =
        "usage: korvelctl audit FILE [--camera N] [--user NAME] [--since TIME]\n"
        "TIME is UTC, as in 2026-12-08, 2026-12-08T02:13 or \"2026-12-08 02:13:05\".\n";
    std::string file;
    AuditFilter filter;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--camera" && hasValue) {
            filter.camera = arguments[++i];
        } else if (argument == "--user" && hasValue) {
            filter.user = arguments[++i];
        } else if (argument == "--since" && hasValue) {
            filter.since = arguments[++i];
        } else if (argument == "-h" || argument == "--help") {
            out << usage;
            return 0;
        } else if (file.empty() && argument.compare(0, 1, "-") != 0) {
            file = argument;
        } else {
            err << usage;
            return 1;
        }
    }
    if (file.empty()) {
        err << usage;
        return 1;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        err << "korvelctl: cannot read " << EscapedText(file) << "\n";
        return 3;
    }
    std::size_t skipped = 0;
    PrintAuditTable(in, filter, out, skipped);
    if (skipped > 0)
        err << "korvelctl: " << skipped << " line(s) of " << EscapedText(file)
            << " are no audit records\n";
    return 0;
}

} // namespace korvel
