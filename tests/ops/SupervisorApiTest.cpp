// The supervisor API's pure parts: the strict JSON reader of its bodies, the
// requests read from method, path and body, and the token store on
// simulated time.
#include "ops/ApiTokens.h"
#include "ops/JsonReader.h"
#include "ops/SupervisorApi.h"

#include <gtest/gtest.h>

namespace korvel::supervisor_api_test {

namespace {

using namespace std::chrono;

// What a read gave, in one line: "user=s:a minutes=n:5", or "! REASON".
std::string Summary(const JsonObjectRead& read)
{
    if (!read.Ok())
        return "! " + read.error;
    std::string out;
    for (const auto& [name, value] : read.members) {
        if (!out.empty())
            out += ' ';
        out += name + '=';
        switch (value.kind) {
        case JsonValue::Kind::Null:
            out += "null";
            break;
        case JsonValue::Kind::Bool:
            out += value.flag ? "true" : "false";
            break;
        case JsonValue::Kind::Number:
            out += "n:" + std::to_string(value.number);
            break;
        case JsonValue::Kind::String:
            out += "s:" + value.text;
            break;
        }
    }
    return out;
}

TEST(JsonReader, ReadsFlatObjectsAndRefusesEverythingElse)
{
    struct Case
    {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {R"({})", ""},
        {" \r\n\t{ \"user\" : \"a\" , \"minutes\":5 }\n", "user=s:a minutes=n:5"},
        {R"({"user":null,"x":true,"y":false,"z":-0})", "user=null x=true y=false z=n:0"},
        {R"({"n":9007199254740991})", "n=n:9007199254740991"},
        {R"({"n":-9007199254740991})", "n=n:-9007199254740991"},
        {R"({"u":"\"\\\/\b\f\n\r\t"})", "u=s:\"\\/\b\f\n\r\t"},
        {R"({"u":"\u00e9\u20ac\ud83d\ude00"})", "u=s:\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"{\"u\":\"\xc3\xa9\xf0\x9f\x98\x80\"}", "u=s:\xc3\xa9\xf0\x9f\x98\x80"},
        // Not one flat object.
        {"", "! the body is not a JSON object"},
        {"[]", "! the body is not a JSON object"},
        {R"("user")", "! the body is not a JSON object"},
        {R"({"a":1} {})", "! text follows the object"},
        {R"({"a":1}x)", "! text follows the object"},
        {R"({"a":{"b":1}})", "! the field \"a\" holds a nested value"},
        {R"({"a":[1]})", "! the field \"a\" holds a nested value"},
        {R"({"a":1,"a":2})", "! the field \"a\" is given twice"},
        {R"({"a":1,})", "! a member's name is not a string"},
        {R"({a:1})", "! a member's name is not a string"},
        {R"({"a" 1})", "! a ':' is missing after a name"},
        {R"({"a":1 "b":2})", "! a ',' or '}' is missing"},
        {R"({"a":1)", "! a ',' or '}' is missing"},
        {R"({"a":nul})", "! the field \"a\" holds no JSON value"},
        {R"({"a":'x'})", "! the field \"a\" holds no JSON value"},
        // Numbers: integers within ±(2^53 - 1) only.
        {R"({"n":9007199254740992})", "! the field \"n\" is not a whole number in range"},
        {R"({"n":99999999999999999999999})", "! the field \"n\" is not a whole number in range"},
        {R"({"n":1.5})", "! the field \"n\" is not a whole number in range"},
        {R"({"n":1e3})", "! the field \"n\" is not a whole number in range"},
        {R"({"n":01})", "! the field \"n\" is not a whole number in range"},
        {R"({"n":-})", "! the field \"n\" is not a whole number in range"},
        {R"({"n":+1})", "! the field \"n\" holds no JSON value"},
        // Strings: closed, escapes known, valid UTF-8 however written.
        {R"({"u":"abc)", "! a string is not closed"},
        {"{\"u\":\"a\nb\"}", "! a string holds a control character"},
        {R"({"u":"\x41"})", "! a string holds a bad escape"},
        {R"({"u":"\u12G4"})", "! a string holds a bad \\u escape"},
        {R"({"u":"\u12"})", "! a string holds a bad \\u escape"},
        {"{\"u\":\"\xff\"}", "! a string is not valid UTF-8"},
        {"{\"u\":\"\xc0\xaf\"}", "! a string is not valid UTF-8"},          // overlong
        {"{\"u\":\"\xed\xa0\x80\"}", "! a string is not valid UTF-8"},      // a surrogate
        {"{\"u\":\"\xf4\x90\x80\x80\"}", "! a string is not valid UTF-8"},  // beyond U+10FFFF
        {"{\"u\":\"\xe2\x82\"}", "! a string is not valid UTF-8"},          // cut short
        {"{\"\xe9\":1}", "! a string is not valid UTF-8"},                  // in a name
        {R"({"u":"\ud83d"})", "! a string is not valid UTF-8"},
        {R"({"u":"\ud83dx"})", "! a string is not valid UTF-8"},
        {R"({"u":"\ude00"})", "! a string is not valid UTF-8"},
        {std::string("{\"u\":\"a\0b\"}", 11), "! a string holds a control character"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Summary(ReadFlatJsonObject(c.text)), c.expected) << c.text;

    std::string many = "{";
    for (std::size_t i = 0; i <= MaxJsonMembers; ++i)
        many += (i ? ",\"f" : "\"f") + std::to_string(i) + "\":1";
    many += "}";
    EXPECT_EQ(Summary(ReadFlatJsonObject(many)), "! too many fields");
}

// The call, in one line ("reserve 3 for=a 5min"), or the answer's code and
// body.
std::string Outcome(std::string_view method, std::string_view path, std::string_view type,
                    std::string_view body)
{
    ApiRoute route = RouteApiRequest(method, path);
    const auto answered = [](const ApiAnswer& answer) {
        std::string out = std::to_string(answer.code) + " " + answer.body;
        if (!answer.allow.empty())
            out += "allow " + answer.allow;
        return out;
    };
    if (!route.call)
        return answered(route.answer);
    ApiCall& call = *route.call;
    if (const auto refused = ReadApiBody(call, type, body))
        return answered(*refused);
    switch (call.kind) {
    case ApiCall::Kind::Login:
        return "login " + call.user + " " + call.password;
    case ApiCall::Kind::Release:
        return "release " + std::to_string(call.camera);
    case ApiCall::Kind::Reserve:
        return "reserve " + std::to_string(call.camera) + " for=" +
               call.forUser.value_or("(nobody)") + " " + std::to_string(call.minutes.count()) +
               "min";
    case ApiCall::Kind::Unreserve:
        return "unreserve " + std::to_string(call.camera);
    case ApiCall::Kind::EndSession:
        return "end " + std::to_string(call.session);
    }
    return "?";
}

TEST(SupervisorApi, RequestsAreReadFromMethodPathAndBody)
{
    constexpr std::string_view Json = "application/json";
    struct Case
    {
        std::string_view method, path, type;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {"POST", "/api/login", Json, R"({"user":"sup","password":"pw"})", "login sup pw"},
        {"POST", "/api/login", "Application/JSON; charset=utf-8", R"({"password":"","user":"s"})",
         "login s "},
        {"POST", "/api/cameras/3/release", "", "", "release 3"},
        {"POST", "/api/cameras/4294967295/release", Json, "{}", "release 4294967295"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"user":"op","minutes":1})",
         "reserve 3 for=op 1min"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"minutes":1440,"user":null})",
         "reserve 3 for=(nobody) 1440min"},
        {"DELETE", "/api/cameras/3/reserve", "", "", "unreserve 3"},
        {"POST", "/api/sessions/65535/end", "", "", "end 65535"},
        // Paths the API does not have, numbers that cannot be a camera's or
        // a session's, methods a path does not take.
        {"GET", "/api", "", "", "404 {\"error\":\"no such request of the API\"}\n"},
        {"POST", "/api/cameras/3", "", "", "404 {\"error\":\"no such request of the API\"}\n"},
        {"POST", "/api/cameras/3/stop", "", "", "404 {\"error\":\"no such request of the API\"}\n"},
        {"POST", "/api/login/x", "", "", "404 {\"error\":\"no such request of the API\"}\n"},
        {"POST", "/api/cameras/x/release", "", "", "404 {\"error\":\"no camera x\"}\n"},
        {"POST", "/api/cameras/03/release", "", "", "404 {\"error\":\"no camera 03\"}\n"},
        {"POST", "/api/cameras/-1/release", "", "", "404 {\"error\":\"no camera -1\"}\n"},
        {"POST", "/api/cameras/4294967296/release", "", "",
         "404 {\"error\":\"no camera 4294967296\"}\n"},
        {"POST", "/api/sessions/65536/end", "", "", "404 {\"error\":\"no session 65536\"}\n"},
        {"GET", "/api/login", "", "", "405 {\"error\":\"the path takes POST only\"}\nallow POST"},
        {"PUT", "/api/cameras/3/reserve", "", "",
         "405 {\"error\":\"the path takes POST, DELETE only\"}\nallow POST, DELETE"},
        {"DELETE", "/api/sessions/2/end", "", "",
         "405 {\"error\":\"the path takes POST only\"}\nallow POST"},
        // Bodies: JSON only, every field known, of its type and range.
        {"POST", "/api/login", "text/plain", R"({"user":"s","password":"p"})",
         "415 {\"error\":\"the body must be JSON (Content-Type: application/json)\"}\n"},
        {"POST", "/api/login", "", "",
         "415 {\"error\":\"the body must be JSON (Content-Type: application/json)\"}\n"},
        {"POST", "/api/cameras/3/release", "application/jsonx", "{}",
         "415 {\"error\":\"the body must be JSON (Content-Type: application/json)\"}\n"},
        {"POST", "/api/login", Json, R"({"user":"s"})",
         "400 {\"error\":\"the field \\\"password\\\" is missing\"}\n"},
        {"POST", "/api/login", Json, R"({"user":1,"password":"p"})",
         "400 {\"error\":\"the field \\\"user\\\" must be a string\"}\n"},
        {"POST", "/api/login", Json, R"({"user":"","password":"p"})",
         "400 {\"error\":\"the field \\\"user\\\" must not be empty\"}\n"},
        {"POST", "/api/login", Json, R"({"user":"s","password":"p","priority":3})",
         "400 {\"error\":\"unknown field \\\"priority\\\"\"}\n"},
        {"POST", "/api/login", Json, R"({"user":"s","user":"t","password":"p"})",
         "400 {\"error\":\"the field \\\"user\\\" is given twice\"}\n"},
        {"POST", "/api/cameras/3/release", Json, R"({"user":"x"})",
         "400 {\"error\":\"unknown field \\\"user\\\"\"}\n"},
        {"POST", "/api/cameras/3/release", Json, "null",
         "400 {\"error\":\"the body is not a JSON object\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"minutes":5})",
         "400 {\"error\":\"the field \\\"user\\\" is missing (null reserves for nobody)\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"user":"op"})",
         "400 {\"error\":\"the field \\\"minutes\\\" is missing\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"user":true,"minutes":5})",
         "400 {\"error\":\"the field \\\"user\\\" must be a string or null\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"user":"op","minutes":0})",
         "400 {\"error\":\"the field \\\"minutes\\\" must be a whole number from 1 to 1440\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"user":"op","minutes":1441})",
         "400 {\"error\":\"the field \\\"minutes\\\" must be a whole number from 1 to 1440\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"user":"op","minutes":"5"})",
         "400 {\"error\":\"the field \\\"minutes\\\" must be a whole number from 1 to 1440\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, R"({"user":"op","minutes":2.5})",
         "400 {\"error\":\"the field \\\"minutes\\\" is not a whole number in range\"}\n"},
        {"POST", "/api/cameras/3/reserve", Json, std::string(MaxApiBodyBytes + 1, ' '),
         "413 {\"error\":\"the body is larger than 4096 bytes\"}\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Outcome(c.method, c.path, c.type, c.body), c.expected)
            << c.method << " " << c.path << " " << c.body;
}

TEST(SupervisorApi, TokensLapseAfterFifteenIdleMinutesAndOnlyWholeTokensMatch)
{
    using Clock = ApiTokens::Clock;
    const Clock::time_point start{};
    ApiTokens tokens;
    tokens.Issue("aaaa", "sup", start);
    tokens.Issue("bbbb", "boss", start + minutes(10));

    struct Step
    {
        minutes at;
        std::string token;
        std::optional<std::string> expected;
    };
    const Step steps[] = {
        {minutes(14), "aaaa", "sup"},      // moves aaaa's lapse on to 29
        {minutes(14), "aaa", std::nullopt}, // a prefix
        {minutes(14), "aaaab", std::nullopt},
        {minutes(14), "", std::nullopt},
        {minutes(14), "AAAA", std::nullopt},
        {minutes(24), "bbbb", "boss"},     // 14 idle minutes
        {minutes(28), "aaaa", "sup"},
        {minutes(39), "bbbb", std::nullopt}, // 15 idle minutes: lapsed
        {minutes(40), "bbbb", std::nullopt}, // and gone
        {minutes(42), "aaaa", "sup"},
        {minutes(57), "aaaa", std::nullopt},
    };
    for (const Step& step : steps)
        EXPECT_EQ(tokens.Use(step.token, start + step.at), step.expected)
            << step.token << " at " << step.at.count() << " min";
    EXPECT_EQ(tokens.Size(), 0u);

    // Logins beyond the bound take the place of the token used longest ago.
    for (std::size_t i = 0; i < ApiTokens::MaxTokens; ++i)
        tokens.Issue("t" + std::to_string(i), "sup", start + seconds(i));
    EXPECT_EQ(tokens.Use("t0", start + minutes(2)), "sup");
    tokens.Issue("new", "sup", start + minutes(3));
    EXPECT_EQ(tokens.Size(), ApiTokens::MaxTokens);
    EXPECT_EQ(tokens.Use("t0", start + minutes(3)), "sup");
    EXPECT_EQ(tokens.Use("t1", start + minutes(3)), std::nullopt);
    EXPECT_EQ(tokens.Use("new", start + minutes(3)), "sup");

    EXPECT_EQ(BearerToken("Bearer abc"), "abc");
    EXPECT_EQ(BearerToken("bEARER abc"), "abc");
    EXPECT_EQ(BearerToken("Bearer "), "");
    EXPECT_EQ(BearerToken("Basic abc"), "");
}

} // namespace

} // namespace korvel::supervisor_api_test
