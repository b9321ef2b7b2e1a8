#include "korvelctl/CommandWords.h"

#include "client/OperatorProtocol.h"
#include "common/PelcoFrames.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace korvel {

const char* const CommandHelp =
    "  login NAME [PASSWORD]   log in (the password is the rest of the command)\n"
    "  choose | cancel         enter or leave choose mode\n"
    "  cam N                   steer camera N (0-255) from now on; a camera the\n"
    "                          service hands over also becomes the current one\n"
    "  left|right [SPEED]      pan (speed 0-63, default 32, or turbo)\n"
    "  up|down [SPEED]         tilt (speed 0-63, default 32)\n"
    "  zoom in|out             zoom\n"
    "  stop                    stop all movement\n"
    "  preset set|clear|go N   preset N (0-255)\n"
    "  raw HEX...              send these bytes as one message, unchanged\n"
    "  sleep SECONDS           wait (for example 0.5)\n"
    "  help | quit\n";

namespace {

const int DefaultSpeed = 32;

std::string Lower(std::string word)
{
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return word;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream stream(text);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word)
        words.push_back(word);
    return words;
}

bool ParseNumber(const std::string& text, int lowest, int highest, int& value)
{
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    value = std::stoi(text);
    return value >= lowest && value <= highest;
}

bool ParseSeconds(const std::string& text, std::chrono::milliseconds& duration)
{
    try {
        std::size_t used = 0;
        const double seconds = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(seconds) || seconds < 0 || seconds > 3600)
            return false;
        duration = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Reads one command; 'error' says what is wrong with it.
bool ParseOne(const std::string& text, OperatorCommand& command, std::string& error)
{
    using Kind = OperatorCommand::Kind;
    using Move = OperatorCommand::Move;
    const std::vector<std::string> words = Words(text);
    const std::string verb = Lower(words[0]);
    const std::size_t count = words.size();
    auto wrong = [&](const std::string& usage) {
        error = "\"" + text + "\": usage: " + usage;
        return false;
    };

    if (verb == "login") {
        if (count < 2)
            return wrong("login NAME [PASSWORD]");
        command.kind = Kind::Login;
        command.name = words[1];
        // The text is trimmed, so the verb starts it and the name follows.
        const std::size_t nameAt = text.find(words[1], verb.size());
        command.password = Trim(text.substr(nameAt + words[1].size()));
        return true;
    }
    if ((verb == "choose" || verb == "cancel" || verb == "stop" || verb == "help" ||
         verb == "quit") &&
        count != 1)
        return wrong(verb);
    if (verb == "choose") {
        command.kind = Kind::Choose;
        return true;
    }
    if (verb == "cancel") {
        command.kind = Kind::Cancel;
        return true;
    }
    if (verb == "help") {
        command.kind = Kind::Help;
        return true;
    }
    if (verb == "quit") {
        command.kind = Kind::Quit;
        return true;
    }
    if (verb == "stop") {
        command.kind = Kind::Steer;
        command.move = Move::Stop;
        return true;
    }
    if (verb == "cam") {
        command.kind = Kind::Camera;
        if (count != 2 || !ParseNumber(words[1], 0, 255, command.number))
            return wrong("cam N (0-255)");
        return true;
    }
    if (verb == "left" || verb == "right" || verb == "up" || verb == "down") {
        const bool pan = verb == "left" || verb == "right";
        command.kind = Kind::Steer;
        command.move = verb == "left"    ? Move::Left
                       : verb == "right" ? Move::Right
                       : verb == "up"    ? Move::Up
                                         : Move::Down;
        command.number = DefaultSpeed;
        if (count == 1)
            return true;
        if (count == 2 && pan && Lower(words[1]) == "turbo") {
            command.number = Pelco::TurboSpeed;
            return true;
        }
        if (count == 2 && ParseNumber(words[1], 0, Pelco::MaxSpeed, command.number))
            return true;
        return wrong(verb + (pan ? " [SPEED] (0-63 or turbo)" : " [SPEED] (0-63)"));
    }
    if (verb == "zoom") {
        command.kind = Kind::Steer;
        const std::string way = count == 2 ? Lower(words[1]) : "";
        if (way != "in" && way != "out")
            return wrong("zoom in|out");
        command.move = way == "in" ? Move::ZoomIn : Move::ZoomOut;
        return true;
    }
    if (verb == "preset") {
        command.kind = Kind::Steer;
        const std::string what = count == 3 ? Lower(words[1]) : "";
        if ((what != "set" && what != "clear" && what != "go") ||
            !ParseNumber(words[2], 0, 255, command.number))
            return wrong("preset set|clear|go N (0-255)");
        command.move = what == "set"  ? Move::PresetSet
                       : what == "go" ? Move::PresetGo
                                      : Move::PresetClear;
        return true;
    }
    if (verb == "raw") {
        command.kind = Kind::Raw;
        const auto bytes = ParseHexBytes(text.substr(verb.size()));
        if (count < 2 || !bytes || bytes->empty())
            return wrong("raw HEX... (for example raw ff 01 00 04 20 00 25)");
        command.raw = *bytes;
        return true;
    }
    if (verb == "sleep") {
        command.kind = Kind::Sleep;
        if (count != 2 || !ParseSeconds(words[1], command.sleep))
            return wrong("sleep SECONDS (0-3600)");
        return true;
    }
    error = "\"" + text + "\": unknown command (try help)";
    return false;
}

} // namespace

bool ParseCommands(const std::string& text, std::vector<OperatorCommand>& commands,
                   std::string& error)
{
    std::vector<OperatorCommand> parsed;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(";\n", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string one = Trim(text.substr(start, end - start));
        start = end + 1;
        if (one.empty())
            continue;
        OperatorCommand command;
        if (!ParseOne(one, command, error))
            return false;
        parsed.push_back(command);
    }
    commands.insert(commands.end(), parsed.begin(), parsed.end());
    return true;
}

Bytes MessageFor(const OperatorCommand& command, int camera)
{
    using Kind = OperatorCommand::Kind;
    using Move = OperatorCommand::Move;
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    const auto address = static_cast<std::uint8_t>(camera);
    const auto value = static_cast<std::uint8_t>(command.number);
    switch (command.kind) {
    case Kind::Login:
        return text(OperatorProtocol::LoginMessage(command.name, command.password));
    case Kind::Choose:
        return text(std::string(OperatorProtocol::Choose));
    case Kind::Cancel:
        return text(std::string(OperatorProtocol::Cancel));
    case Kind::Raw:
        return command.raw;
    case Kind::Steer:
        switch (command.move) {
        case Move::Left:
            return Pelco::BuildD(address, 0, Pelco::PanLeft, value, 0);
        case Move::Right:
            return Pelco::BuildD(address, 0, Pelco::PanRight, value, 0);
        case Move::Up:
            return Pelco::BuildD(address, 0, Pelco::TiltUp, 0, value);
        case Move::Down:
            return Pelco::BuildD(address, 0, Pelco::TiltDown, 0, value);
        case Move::ZoomIn:
            return Pelco::BuildD(address, 0, Pelco::ZoomTele, 0, 0);
        case Move::ZoomOut:
            return Pelco::BuildD(address, 0, Pelco::ZoomWide, 0, 0);
        case Move::Stop:
            return Pelco::BuildD(address, 0, 0, 0, 0);
        case Move::PresetSet:
            return Pelco::BuildD(address, 0, Pelco::SetPreset, 0, value);
        case Move::PresetClear:
            return Pelco::BuildD(address, 0, Pelco::ClearPreset, 0, value);
        case Move::PresetGo:
            return Pelco::BuildD(address, 0, Pelco::GoToPreset, 0, value);
        }
        return {};
    default:
        return {};
    }
}

} // namespace korvel
