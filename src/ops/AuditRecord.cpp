#include "ops/AuditRecord.h"

#include "ops/JsonText.h"
#include "ops/UtcTime.h"

#include <algorithm>

namespace korvel {

namespace {

void Field(std::string& out, const char* name)
{
    out += ",\"";
    out += name;
    out += "\":";
}

template <typename Number>
void NumberField(std::string& out, const char* name, const std::optional<Number>& value)
{
    if (!value)
        return;
    Field(out, name);
    out += std::to_string(*value);
}

} // namespace

void SetFailedLoginUser(AuditRecord& record, const std::string& name, bool configured)
{
    const auto end = configured ? name.end() : std::find_if(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    });
    record.user = std::string(name.begin(), end);
    record.userCut = end != name.end();
}

std::string FormatAuditLine(const AuditRecord& record, std::chrono::system_clock::time_point when)
{
    std::string out = "{\"time\":\"" + FormatUtc(when, true) + "\"";
    Field(out, "event");
    AppendJsonString(out, record.event);
    NumberField(out, "camera", record.camera);
    if (record.supervisor) {
        Field(out, "supervisor");
        AppendJsonString(out, *record.supervisor);
    }
    if (record.reservation) {
        Field(out, "reserved_for");
        AppendJsonOrNull(out, record.reservedFor);
    }
    NumberField(out, "minutes", record.minutes);
    NumberField(out, "preset", record.preset);
    if (record.session) {
        NumberField(out, "session", record.session);
        Field(out, "user");
        AppendJsonOrNull(out, record.user);
    }
    if (record.userCut)
        out += ",\"user_cut\":true";
    NumberField(out, "priority", record.priority);
    if (record.client) {
        Field(out, "client");
        AppendJsonString(out, *record.client);
    }
    if (record.otherSession) {
        const bool previous = record.event == "control";
        Field(out, previous ? "previous_session" : "holder_session");
        out += std::to_string(*record.otherSession);
        Field(out, previous ? "previous_user" : "holder_user");
        AppendJsonOrNull(out, record.otherUser);
        NumberField(out, previous ? "previous_priority" : "holder_priority", record.otherPriority);
    }
    for (const auto& [name, text] : {std::pair{"result", &record.result},
                                     std::pair{"summary", &record.summary}}) {
        if (*text) {
            Field(out, name);
            AppendJsonString(out, **text);
        }
    }
    out += "}\n";
    return out;
}

} // namespace korvel
