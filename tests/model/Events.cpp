#include "model/Events.h"

#include <array>
#include <istream>
#include <ostream>
#include <sstream>

namespace korvel::model {

namespace {

struct KindName
{
    EventKind kind;
    const char* name;
    int weight; // how often a random run draws it
};

constexpr std::array<KindName, 16> Kinds{{
    {EventKind::Connect, "connect", 8},
    {EventKind::Login, "login", 8},
    {EventKind::Choose, "choose", 4},
    {EventKind::Cancel, "cancel", 2},
    {EventKind::Command, "command", 30},
    {EventKind::Hangup, "hangup", 3},
    {EventKind::BreakNotices, "break-notices", 2},
    {EventKind::Resolve, "resolve", 6},
    {EventKind::Answer, "answer", 7},
    {EventKind::Drop, "drop", 3},
    {EventKind::Stall, "stall", 3},
    {EventKind::Advance, "advance", 12},
    {EventKind::Trigger, "trigger", 4},
    {EventKind::Reload, "reload", 4},
    {EventKind::Name, "name", 2},
    {EventKind::Serial, "serial", 5},
}};

const char* NameOf(EventKind kind)
{
    for (const KindName& entry : Kinds)
        if (entry.kind == kind)
            return entry.name;
    return "?";
}

std::string Meaning(const Event& e)
{
    std::ostringstream text;
    switch (e.kind) {
    case EventKind::Connect:
        text << "a workstation at " << ClientAddressOf(e.b) << " connects as session "
             << SessionNumberOf(e.a);
        break;
    case EventKind::Login:
        text << "client " << e.a << " logs in as " << LoginName(e.b)
             << (e.c ? " (right password)" : " (wrong password)");
        break;
    case EventKind::Choose:
        text << "client " << e.a << " sends CHOOSE";
        break;
    case EventKind::Cancel:
        text << "client " << e.a << " sends CANCEL";
        break;
    case EventKind::Command:
        text << "client " << e.a << " sends a command for Pelco "
             << (e.b % (CameraSlots + 1) == CameraSlots ? UnknownPelco
                                                         : CameraPelco[e.b % (CameraSlots + 1)])
             << (e.c ? " (two frames in one receive)" : "");
        break;
    case EventKind::Hangup:
        text << "client " << e.a << " closes its connection";
        break;
    case EventKind::BreakNotices:
        text << "the next notice to client " << e.a << " fails";
        break;
    case EventKind::Resolve:
        text << "camera " << e.a % CameraSlots << ": the oldest lookup "
             << (e.b == 0 ? "fails" : "finds " + std::to_string(e.b) + " endpoint(s)");
        break;
    case EventKind::Answer:
        text << "camera " << e.a % CameraSlots << ": the connect "
             << (e.b ? "is accepted" : "is refused");
        break;
    case EventKind::Drop:
        text << "camera " << e.a % CameraSlots << ": the connection breaks";
        break;
    case EventKind::Stall:
        text << "camera " << e.a % CameraSlots << (e.b ? ": the socket stalls" : ": the socket drains");
        break;
    case EventKind::Advance:
        text << "time moves " << e.a << " ms";
        break;
    case EventKind::Trigger:
        text << "camera " << e.a % CameraSlots << ": its soft trigger fires";
        break;
    case EventKind::Reload:
        switch (e.a % ReloadKinds) {
        case 0:
            text << "reload: camera " << e.b % CameraSlots << (e.c ? " added" : " removed");
            break;
        case 1:
            text << "reload: user " << Users[e.b % UserCount].name << (e.c ? " added" : " removed");
            break;
        case 2:
            text << "reload: user " << Users[e.b % UserCount].name << " gets priority " << e.c;
            break;
        case 3:
            text << "reload: RequireLogin " << (e.c ? "on" : "off");
            break;
        case 4:
            text << "reload: lock time " << 1 + e.c % 5 << " s";
            break;
        default:
            text << "reload: retry interval " << 1 + e.c % 4 << " s";
            break;
        }
        break;
    case EventKind::Serial: {
        static const char* const what[] = {"its write completes", "its write fails",
                                           "its device goes", "its device comes back"};
        text << "serial camera " << SerialSlot << ": " << what[e.a % 4];
        break;
    }
    case EventKind::Name:
        text << "the NVR names camera " << e.a % CameraSlots << " \"" << NvrName(e.a, e.b) << '"';
        break;
    }
    return text.str();
}

} // namespace

std::string CameraAddress(int slot)
{
    return "10.0.1." + std::to_string(10 + slot);
}

std::string LoginName(int b)
{
    return b % LoginNames < UserCount ? Users[b % LoginNames].name : "mallory";
}

std::string LoginPassword(int b, bool right)
{
    if (!right)
        return "wrong!";
    return b % LoginNames < UserCount ? Users[b % LoginNames].password : "m";
}

std::string NvrName(int slot, int b)
{
    return "View " + std::to_string(slot % CameraSlots) + "-" + std::to_string(b % 3);
}

std::uint16_t SessionNumberOf(int a)
{
    return static_cast<std::uint16_t>(40001 + a % SessionNumbers);
}

std::string ClientAddressOf(int b)
{
    return "10.0.0." + std::to_string(1 + b % 2);
}

std::string CommandBytes(unsigned pelco, std::uint32_t serial, bool twoFrames)
{
    auto frame = [&](unsigned char command2) {
        std::string bytes{'\xFF', static_cast<char>(pelco), '\0', static_cast<char>(command2),
                          static_cast<char>((serial >> 8) & 0xFF), static_cast<char>(serial & 0xFF)};
        unsigned sum = 0;
        for (std::size_t i = 1; i < bytes.size(); ++i)
            sum += static_cast<unsigned char>(bytes[i]);
        bytes += static_cast<char>(sum & 0xFF);
        return bytes;
    };
    return twoFrames ? frame(0x02) + frame(0x00) : frame(0x02);
}

std::uint32_t CommandSerial(const std::string& bytes)
{
    if (bytes.size() < 6)
        return 0;
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[4])) << 8 |
           static_cast<unsigned char>(bytes[5]);
}

World WorldOf(std::uint64_t seed)
{
    std::mt19937_64 random(seed ^ 0x5eedULL);
    World world;
    world.requireLogin = random() % 3 == 0;
    world.lockTimeMs = 1000 * static_cast<int>(2 + random() % 4);
    world.retryIntervalSecs = static_cast<int>(1 + random() % 4);
    world.throttleLogins = random() % 2 == 0;
    return world;
}

Run RandomRun(std::uint64_t seed, std::size_t steps)
{
    Run run;
    run.seed = seed;
    run.world = WorldOf(seed);
    std::mt19937_64 random(seed);
    int total = 0;
    for (const KindName& entry : Kinds)
        total += entry.weight;
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    run.events.reserve(steps);
    for (std::size_t i = 0; i < steps; ++i) {
        int pick = below(total);
        EventKind kind = EventKind::Advance;
        for (const KindName& entry : Kinds) {
            if (pick < entry.weight) {
                kind = entry.kind;
                break;
            }
            pick -= entry.weight;
        }
        // Where failed logins are slowed, enough of them for one name to be.
        if (run.world.throttleLogins && kind == EventKind::Command && below(4) == 0)
            kind = EventKind::Login;
        Event e{kind, below(64), below(64), below(2)};
        switch (kind) {
        case EventKind::Resolve:
            // A lookup fails now and then; one that fails first leaves its
            // camera without a socket for good.
            e.b = below(8) == 0 ? 0 : 1 + below(2);
            break;
        case EventKind::Answer:
            e.b = below(4) != 0;
            break;
        case EventKind::Advance:
            // Mostly short moves, some across lapses and retry intervals.
            e.a = below(4) == 0 ? 1000 + below(9000) : 1 + below(800);
            break;
        case EventKind::Reload:
            e.c = e.a % ReloadKinds == 2 || e.a % ReloadKinds >= 4 ? below(6) : below(2);
            break;
        case EventKind::Login:
            if (run.world.throttleLogins) {
                e.b = below(8) < 6 ? 0 : below(LoginNames);
                e.c = below(3) == 0;
            } else {
                e.c = below(4) != 0;
            }
            break;
        default:
            break;
        }
        run.events.push_back(e);
    }
    return run;
}

std::string EventText(const Event& event)
{
    std::ostringstream text;
    text << NameOf(event.kind) << ' ' << event.a << ' ' << event.b << ' ' << event.c;
    return text.str();
}

std::optional<Event> ParseEvent(const std::string& line)
{
    std::istringstream in(line);
    std::string name;
    Event event;
    if (!(in >> name >> event.a >> event.b >> event.c))
        return std::nullopt;
    for (const KindName& entry : Kinds)
        if (name == entry.name) {
            event.kind = entry.kind;
            return event;
        }
    return std::nullopt;
}

void WriteRun(std::ostream& out, const Run& run)
{
    out << "seed " << run.seed << '\n'
        << "world " << run.world.requireLogin << ' ' << run.world.lockTimeMs << ' '
        << run.world.retryIntervalSecs << ' ' << run.world.loginTimeoutMs << ' '
        << run.world.throttleLogins << '\n';
    for (const Event& event : run.events)
        out << EventText(event) << "  # " << Meaning(event) << '\n';
}

std::optional<Run> ReadRun(std::istream& in, std::string& error)
{
    Run run;
    bool world = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "seed") {
            words >> run.seed;
        } else if (first == "world") {
            world = static_cast<bool>(words >> run.world.requireLogin >> run.world.lockTimeMs >>
                                      run.world.retryIntervalSecs >> run.world.loginTimeoutMs);
            if (!world) {
                error = "line " + std::to_string(number) + ": a world needs four numbers";
                return std::nullopt;
            }
            words >> run.world.throttleLogins; // a fifth, when there is one
        } else if (const auto event = ParseEvent(line)) {
            run.events.push_back(*event);
        } else {
            error = "line " + std::to_string(number) + ": not an event: " + line;
            return std::nullopt;
        }
    }
    if (!world)
        run.world = WorldOf(run.seed);
    return run;
}

std::string RunTable(const Run& run)
{
    std::ostringstream table;
    table << "seed " << run.seed << " (RequireLogin " << (run.world.requireLogin ? "on" : "off")
          << ", lock time " << run.world.lockTimeMs << " ms, retry interval "
          << run.world.retryIntervalSecs << " s"
          << (run.world.throttleLogins ? ", failed logins slowed" : "") << ")\n"
          << " step | event                  | what happens\n"
          << "------+------------------------+------------------------------------------\n";
    for (std::size_t i = 0; i < run.events.size(); ++i) {
        std::string text = EventText(run.events[i]);
        text.resize(std::max<std::size_t>(text.size(), 22), ' ');
        std::string step = std::to_string(i + 1);
        step.insert(0, 5 - std::min<std::size_t>(5, step.size()), ' ');
        table << step << " | " << text << " | " << Meaning(run.events[i]) << '\n';
    }
    return table.str();
}

} // namespace korvel::model
