#include "ControlCommands.h"

#include "tlapi/tlapi.h"

#include <sstream>
#include <vector>

namespace nvrsim {
namespace {

const char* const Usage =
    "commands:\n"
    "  user NAME PASSWORD        add or replace a login (- for an empty password)\n"
    "  camera ID ADDRESS NAME... add or replace a camera (ADDRESS - for analog)\n"
    "  rename ID NAME...         rename a camera\n"
    "  link TRIGGER_ID           add an event link that uses the soft trigger\n"
    "  fire GUID_OR_ID           fire a soft trigger\n"
    "  refresh                   announce a refresh to every session\n"
    "  revoke                    refuse every logged-in session's login (event 71 code 6)\n"
    "  logins check|ignore|CODE  answer later logins: by the password, not at all, with CODE\n"
    "  hold OPERATION [N]        hold back the Nth such request and its session's later ones\n"
    "  release                   answer the held requests, and the later ones as they come\n"
    "  drop                      close every client connection\n"
    "  dump                      print the whole state\n"
    "  quit                      stop the simulator\n";

// Splits off the first `count` words; the rest of the line (trimmed) is
// left in `rest`, for names that may hold blanks.
std::vector<std::string> Words(const std::string& line, std::size_t count, std::string& rest)
{
    std::vector<std::string> words;
    std::size_t position = 0;
    while (words.size() < count) {
        const std::size_t start = line.find_first_not_of(" \t", position);
        if (start == std::string::npos) {
            position = line.size();
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
        words.push_back(line.substr(start, end - start));
        position = end;
    }
    const std::size_t start = line.find_first_not_of(" \t", position);
    const std::size_t end = line.find_last_not_of(" \t\r\n");
    rest = start == std::string::npos || end < start ? std::string()
                                                     : line.substr(start, end - start + 1);
    return words;
}

bool ParseId(const std::string& text, uint32_t& id)
{
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(text);
    if (value == 0 || value > UINT32_MAX)
        return false;
    id = static_cast<uint32_t>(value);
    return true;
}

ControlCommands::Answer Ok(const std::string& lines = std::string())
{
    return {lines + "ok\n", false};
}

ControlCommands::Answer Error(const std::string& reason)
{
    return {"error: " + reason + "\n", false};
}

// An operation by its name in the request log (HELLO, CAMERA_COUNT, ...).
bool ParseOperation(const std::string& text, uint16_t& operation)
{
    for (uint16_t code = 1; code < 0x100; ++code) {
        if (tlapi::IsOperation(code) && text == tlapi::OperationName(code)) {
            operation = code;
            return true;
        }
    }
    return false;
}

std::string Refusal(Status status)
{
    return tlapi::StatusName(static_cast<uint32_t>(status));
}

} // namespace

ControlCommands::Answer ControlCommands::Execute(const std::string& line)
{
    std::string rest;
    const std::vector<std::string> command =
        Words(line.substr(0, line.find_last_not_of("\r\n") + 1), 1, rest);
    if (command.empty() || command[0][0] == '#')
        return {};
    const std::string& name = command[0];
    std::string tail;

    if (name == "user") {
        const std::vector<std::string> words = Words(rest, 2, tail);
        if (words.size() != 2 || !tail.empty())
            return Error("usage: user NAME PASSWORD");
        model.SetUser(words[0], words[1] == "-" ? std::string() : words[1]);
        return Ok();
    }
    if (name == "camera") {
        const std::vector<std::string> words = Words(rest, 2, tail);
        uint32_t id = 0;
        if (words.size() != 2 || !ParseId(words[0], id))
            return Error("usage: camera ID ADDRESS NAME...");
        const Status status = model.SetCamera(id, words[1] == "-" ? std::string() : words[1], tail);
        return status == Status::Ok ? Ok() : Error(Refusal(status));
    }
    if (name == "rename") {
        const std::vector<std::string> words = Words(rest, 1, tail);
        uint32_t id = 0;
        if (words.size() != 1 || !ParseId(words[0], id))
            return Error("usage: rename ID NAME...");
        const Status status = model.RenameCamera(id, tail);
        return status == Status::Ok ? Ok() : Error(Refusal(status) + ": camera " + words[0]);
    }
    if (name == "link") {
        uint32_t triggerId = 0;
        if (!ParseId(rest, triggerId))
            return Error("usage: link TRIGGER_ID");
        uint32_t id = 0;
        const Status status = model.CreateLink(triggerId, id);
        if (status != Status::Ok)
            return Error(Refusal(status) + ": trigger " + rest);
        return Ok("link " + std::to_string(id) + "\n");
    }
    if (name == "fire") {
        if (rest.empty())
            return Error("usage: fire GUID_OR_ID");
        const SoftTrigger* trigger = model.FindTriggerByText(rest);
        if (!trigger)
            return Error("no soft trigger " + DumpText(rest));
        PendingEvent event;
        event.type = TLAPI_EVENT_SOFT_TRIGGER;
        event.data.code = 1;
        event.data.objectId = trigger->id;
        const std::size_t count = server.Broadcast(event);
        return Ok("fired " + std::to_string(trigger->id) + " sessions=" + std::to_string(count) +
                  "\n");
    }
    if (name == "logins") {
        LoginAnswer answer;
        uint32_t code = 0;
        if (rest == "ignore") {
            answer.kind = LoginAnswer::Kind::Ignore;
        } else if (rest == "0" || ParseId(rest, code)) {
            answer.kind = LoginAnswer::Kind::Code;
            answer.code = code;
        } else if (rest != "check") {
            return Error("usage: logins check|ignore|CODE");
        }
        server.Handler().SetLoginAnswer(answer);
        return Ok();
    }
    if (name == "hold") {
        const std::vector<std::string> words = Words(rest, 2, tail);
        uint16_t operation = 0;
        uint32_t count = 1;
        if (words.empty() || !tail.empty() || !ParseOperation(words[0], operation) ||
            (words.size() == 2 && !ParseId(words[1], count)))
            return Error("usage: hold OPERATION [N]");
        server.Hold(operation, count);
        return Ok();
    }
    if (!rest.empty())
        return Error(name + " takes no arguments");
    if (name == "revoke")
        return Ok("revoked sessions=" + std::to_string(server.RevokeLogins()) + "\n");
    if (name == "release")
        return Ok("released sessions=" + std::to_string(server.Release()) + "\n");
    if (name == "refresh") {
        PendingEvent event;
        event.type = TLAPI_EVENT_REFRESH_DUE;
        const std::size_t count = server.Broadcast(event);
        return Ok("refresh sessions=" + std::to_string(count) + "\n");
    }
    if (name == "drop")
        return Ok("dropped " + std::to_string(server.DropAll()) + "\n");
    if (name == "dump") {
        std::ostringstream out;
        model.Dump(out);
        server.DumpSessions(out);
        return Ok(out.str());
    }
    if (name == "help")
        return Ok(Usage);
    if (name == "quit")
        return {"ok\n", true};
    return Error("unknown command " + DumpText(name) + " (try help)");
}

} // namespace nvrsim
