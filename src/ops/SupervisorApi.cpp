#include "ops/SupervisorApi.h"

#include "ops/JsonReader.h"
#include "ops/JsonText.h"

#include <limits>

namespace korvel {

namespace {

constexpr std::string_view Prefix = "/api/";

// A decimal number of at most `maximum` without sign or leading zeros.
std::optional<std::uint64_t> Decimal(std::string_view text, std::uint64_t maximum)
{
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > maximum)
        return std::nullopt;
    return value;
}

ApiRoute Answer(ApiAnswer answer)
{
    ApiRoute route;
    route.answer = std::move(answer);
    return route;
}

ApiRoute Call(ApiCall call)
{
    ApiRoute route;
    route.call = std::move(call);
    return route;
}

ApiRoute NotAllowed(std::string allow)
{
    ApiAnswer answer = ApiError(405, "the path takes " + allow + " only");
    answer.allow = std::move(allow);
    return Answer(std::move(answer));
}

bool IsJson(std::string_view contentType)
{
    const std::string_view type = contentType.substr(0, contentType.find(';'));
    constexpr std::string_view Json = "application/json";
    std::size_t begin = 0;
    std::size_t end = type.size();
    while (begin < end && (type[begin] == ' ' || type[begin] == '\t'))
        ++begin;
    while (end > begin && (type[end - 1] == ' ' || type[end - 1] == '\t'))
        --end;
    if (end - begin != Json.size())
        return false;
    for (std::size_t i = 0; i < Json.size(); ++i) {
        const char c = type[begin + i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != Json[i])
            return false;
    }
    return true;
}

std::string Field(std::string_view name)
{
    std::string quoted = "the field \"";
    quoted += name;
    quoted += '"';
    return quoted;
}

} // namespace

bool IsApiPath(std::string_view path)
{
    return path == "/api" || path.substr(0, Prefix.size()) == Prefix;
}

ApiRoute RouteApiRequest(std::string_view method, std::string_view path)
{
    const ApiAnswer unknown = ApiError(404, "no such request of the API");
    if (!IsApiPath(path))
        return Answer(unknown);
    std::string_view rest = path.substr(std::min(path.size(), Prefix.size()));
    if (rest == "login") {
        if (method != "POST")
            return NotAllowed("POST");
        return Call({});
    }
    const auto slash = [&rest]() -> std::string_view {
        const std::size_t at = rest.find('/');
        const std::string_view part = rest.substr(0, at);
        rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
        return part;
    };
    const std::string_view collection = slash();
    const std::string_view number = slash();
    const std::string_view action = rest;
    ApiCall call;
    if (collection == "cameras" && (action == "release" || action == "reserve")) {
        const auto pelco = Decimal(number, std::numeric_limits<std::uint32_t>::max());
        if (!pelco)
            return Answer(ApiError(404, "no camera " + std::string(number)));
        call.camera = static_cast<std::uint32_t>(*pelco);
        if (action == "release") {
            if (method != "POST")
                return NotAllowed("POST");
            call.kind = ApiCall::Kind::Release;
        } else if (method == "POST") {
            call.kind = ApiCall::Kind::Reserve;
        } else if (method == "DELETE") {
            call.kind = ApiCall::Kind::Unreserve;
        } else {
            return NotAllowed("POST, DELETE");
        }
        return Call(std::move(call));
    }
    if (collection == "sessions" && action == "end") {
        const auto session = Decimal(number, std::numeric_limits<std::uint16_t>::max());
        if (!session)
            return Answer(ApiError(404, "no session " + std::string(number)));
        if (method != "POST")
            return NotAllowed("POST");
        call.kind = ApiCall::Kind::EndSession;
        call.session = static_cast<std::uint16_t>(*session);
        return Call(std::move(call));
    }
    return Answer(unknown);
}

std::optional<ApiAnswer> ReadApiBody(ApiCall& call, std::string_view contentType,
                                     std::string_view body)
{
    const bool takesFields = call.kind == ApiCall::Kind::Login || call.kind == ApiCall::Kind::Reserve;
    if (body.empty() && !takesFields)
        return std::nullopt;
    if (body.size() > MaxApiBodyBytes)
        return ApiError(413, "the body is larger than 4096 bytes");
    if (!IsJson(contentType))
        return ApiError(415, "the body must be JSON (Content-Type: application/json)");
    const JsonObjectRead read = ReadFlatJsonObject(body);
    if (!read.Ok())
        return ApiError(400, read.error);
    const auto find = [&read](std::string_view name) -> const JsonValue* {
        for (const auto& member : read.members)
            if (member.first == name)
                return &member.second;
        return nullptr;
    };
    const auto known = [&call](std::string_view name) {
        switch (call.kind) {
        case ApiCall::Kind::Login:
            return name == "user" || name == "password";
        case ApiCall::Kind::Reserve:
            return name == "user" || name == "minutes";
        default:
            return false;
        }
    };
    for (const auto& member : read.members)
        if (!known(member.first))
            return ApiError(400, "unknown field \"" + member.first + "\"");

    if (call.kind == ApiCall::Kind::Login) {
        for (const char* name : {"user", "password"}) {
            const JsonValue* value = find(name);
            if (!value)
                return ApiError(400, Field(name) + " is missing");
            if (value->kind != JsonValue::Kind::String)
                return ApiError(400, Field(name) + " must be a string");
        }
        call.user = find("user")->text;
        call.password = find("password")->text;
        if (call.user.empty())
            return ApiError(400, Field("user") + " must not be empty");
        return std::nullopt;
    }
    if (call.kind == ApiCall::Kind::Reserve) {
        const JsonValue* user = find("user");
        const JsonValue* minutes = find("minutes");
        if (!user)
            return ApiError(400, Field("user") + " is missing (null reserves for nobody)");
        if (user->kind == JsonValue::Kind::String) {
            if (user->text.empty())
                return ApiError(400, Field("user") + " must not be empty");
            call.forUser = user->text;
        } else if (user->kind != JsonValue::Kind::Null) {
            return ApiError(400, Field("user") + " must be a string or null");
        }
        if (!minutes)
            return ApiError(400, Field("minutes") + " is missing");
        if (minutes->kind != JsonValue::Kind::Number || minutes->number < 1 ||
            minutes->number > MaxReserveMinutes.count())
            return ApiError(400, Field("minutes") + " must be a whole number from 1 to 1440");
        call.minutes = std::chrono::minutes(minutes->number);
    }
    return std::nullopt;
}

ApiAnswer ApiError(unsigned code, std::string_view reason)
{
    ApiAnswer answer;
    answer.code = code;
    answer.body = "{\"error\":";
    AppendJsonString(answer.body, reason);
    answer.body += "}\n";
    return answer;
}

ApiAnswer ApiDone()
{
    return {200, "{\"result\":\"done\"}\n", {}};
}

ApiAnswer ApiTokenAnswer(std::string_view token)
{
    ApiAnswer answer;
    answer.body = "{\"token\":";
    AppendJsonString(answer.body, token);
    answer.body += "}\n";
    return answer;
}

ApiAnswer ApiAnswerOf(const SupervisorActions::Result& result, const ApiCall& call)
{
    switch (result.kind) {
    case SupervisorActions::Result::Kind::Done:
        return ApiDone();
    case SupervisorActions::Result::Kind::NotFound:
        if (!result.reason.empty())
            return ApiError(404, result.reason);
        return ApiError(404, call.kind == ApiCall::Kind::EndSession
                                 ? "no session " + std::to_string(call.session)
                                 : "no camera " + std::to_string(call.camera));
    case SupervisorActions::Result::Kind::Conflict:
        break;
    }
    return ApiError(409, result.reason.empty() ? "the request conflicts" : result.reason);
}

} // namespace korvel
