#pragma once

// Answers the requests of one client session from the model. No I/O: the
// session sends what the outcome says.

#include "NvrModel.h"

#include "tlapi/Codec.h"
#include "tlapi/Records.h"

#include <string>
#include <vector>

namespace nvrsim {

struct SessionState
{
    bool greeted = false; // HELLO accepted
    bool loggedIn = false;
    std::string user;
};

struct PendingEvent
{
    uint16_t type = 0;
    tlapi::EventData data;
};

struct Outcome
{
    bool sendReply = true;
    Status status = Status::Ok;
    tlapi::Bytes results;
    std::vector<PendingEvent> events; // to the requester, after the reply
    bool close = false;               // end the session once the reply is out
    std::string note;                 // what happened, for the request log
};

// How a LOGIN is answered.
struct LoginAnswer
{
    enum class Kind
    {
        Check,  // event 71: code 0 for a known user and password, 6 otherwise
        Ignore, // nothing at all
        Code,   // event 71 with `code`; logged in when it is 0
    };
    Kind kind = Kind::Check;
    uint32_t code = 0;
};

class RequestHandler
{
public:
    explicit RequestHandler(NvrModel& model) : model(model) {}

    Outcome Handle(SessionState& session, const tlapi::Frame& request);
    // For the LOGIN requests from now on.
    void SetLoginAnswer(const LoginAnswer& answer) { loginAnswer = answer; }

private:
    Outcome Hello(SessionState& session, tlapi::PayloadReader& reader);
    Outcome Login(SessionState& session, tlapi::PayloadReader& reader);
    Outcome Serve(uint16_t operation, tlapi::PayloadReader& reader);

    NvrModel& model;
    LoginAnswer loginAnswer;
};

} // namespace nvrsim
