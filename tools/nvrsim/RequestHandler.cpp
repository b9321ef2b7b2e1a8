#include "RequestHandler.h"

#include "tlapi/tlapi.h"

namespace nvrsim {
namespace {

using tlapi::Operation;
using tlapi::PayloadReader;
using tlapi::PayloadWriter;

Outcome Refuse(Status status, const std::string& note = std::string())
{
    Outcome outcome;
    outcome.status = status;
    outcome.note = note;
    outcome.close = status == Status::Malformed;
    return outcome;
}

Outcome Results(const PayloadWriter& results, const std::string& note = std::string())
{
    Outcome outcome;
    outcome.results = results.Data();
    outcome.note = note;
    return outcome;
}

Outcome Number(uint32_t value)
{
    PayloadWriter results;
    results.U32(value);
    return Results(results, std::to_string(value));
}

Outcome Text(const std::string& text)
{
    PayloadWriter results;
    results.Text(text);
    return Results(results, DumpText(text));
}

} // namespace

Outcome RequestHandler::Handle(SessionState& session, const tlapi::Frame& request)
{
    PayloadReader reader(request.payload);
    if (request.code == static_cast<uint16_t>(Operation::Hello))
        return Hello(session, reader);
    if (!session.greeted)
        return Refuse(Status::Malformed, "request before HELLO");
    if (!tlapi::IsOperation(request.code))
        return Refuse(Status::UnknownOperation);
    if (request.code == static_cast<uint16_t>(Operation::Login))
        return Login(session, reader);
    if (request.code != static_cast<uint16_t>(Operation::Discover) && !session.loggedIn)
        return Refuse(Status::NotLoggedIn);
    return Serve(request.code, reader);
}

Outcome RequestHandler::Hello(SessionState& session, PayloadReader& reader)
{
    const uint32_t magic = reader.U32();
    const uint16_t version = reader.U16();
    if (!reader.Ok() || magic != tlapi::ProtocolMagic)
        return Refuse(Status::Malformed, "not a greeting");
    if (version < tlapi::ProtocolVersion) {
        Outcome outcome = Refuse(Status::UnsupportedVersion, "version " + std::to_string(version));
        outcome.close = true;
        return outcome;
    }
    session.greeted = true;
    PayloadWriter results;
    results.U32(tlapi::ProtocolMagic).U16(tlapi::ProtocolVersion).Text("nvrsim");
    return Results(results, "version " + std::to_string(tlapi::ProtocolVersion));
}

Outcome RequestHandler::Login(SessionState& session, PayloadReader& reader)
{
    const std::string user = reader.Text();
    const std::string password = reader.Text();
    if (!reader.Ok())
        return Refuse(Status::Malformed, "short login");
    Outcome outcome;
    outcome.sendReply = false;
    if (loginAnswer.kind == LoginAnswer::Kind::Ignore) {
        // The session stays as it was: logged in or not.
        outcome.note = DumpText(user) + " ignored";
        return outcome;
    }
    uint32_t code = loginAnswer.code;
    if (loginAnswer.kind == LoginAnswer::Kind::Check)
        code = model.CheckLogin(user, password) ? TLAPI_LOGIN_OK : TLAPI_LOGIN_REFUSED;
    session.loggedIn = code == TLAPI_LOGIN_OK;
    session.user = session.loggedIn ? user : std::string();
    PendingEvent event;
    event.type = TLAPI_EVENT_LOGIN;
    event.data.code = code;
    outcome.events.push_back(event);
    outcome.note = DumpText(user) + (session.loggedIn ? " accepted" : " refused");
    if (loginAnswer.kind == LoginAnswer::Kind::Code)
        outcome.note += " with code " + std::to_string(code);
    return outcome;
}

Outcome RequestHandler::Serve(uint16_t operation, PayloadReader& reader)
{
    switch (static_cast<Operation>(operation)) {
    case Operation::Discover: {
        PayloadWriter results;
        results.Text("nvrsim").U32(static_cast<uint32_t>(model.CameraCount()));
        return Results(results);
    }
    case Operation::CameraCount:
        return Number(static_cast<uint32_t>(model.CameraCount()));
    case Operation::TriggerCount:
        return Number(static_cast<uint32_t>(model.TriggerCount()));
    case Operation::LinkCount:
        return Number(static_cast<uint32_t>(model.LinkCount()));
    default:
        break;
    }

    if (static_cast<Operation>(operation) == Operation::TriggerCreate) {
        const std::string name = reader.Text();
        const std::string guid = reader.Text();
        if (!reader.Ok())
            return Refuse(Status::Malformed, "short request");
        uint32_t id = 0;
        const Status status = model.CreateTrigger(name, guid, id);
        if (status != Status::Ok)
            return Refuse(status, DumpText(guid));
        Outcome outcome = Number(id);
        PendingEvent created;
        created.type = TLAPI_EVENT_TRIGGER_CREATED;
        created.data.confirmed = 1;
        created.data.objectId = id;
        outcome.events.push_back(created);
        outcome.note = "trigger " + std::to_string(id) + " guid=" + DumpText(guid);
        return outcome;
    }
    if (static_cast<Operation>(operation) == Operation::AssociationUpdate) {
        tlapi::AssociationData association;
        if (!tlapi::ReadAssociation(reader, association))
            return Refuse(Status::Malformed, "bad association");
        const Status status = model.StoreAssociation(association);
        return Refuse(status, "camera " + std::to_string(association.cameraId));
    }
    if (static_cast<Operation>(operation) == Operation::LinkUpdate) {
        tlapi::EventLinkData link;
        if (!tlapi::ReadEventLink(reader, link))
            return Refuse(Status::Malformed, "bad event link");
        const Status status = model.StoreLink(link);
        return Refuse(status, "link " + std::to_string(link.id) +
                                  " source=" + std::to_string(link.sourceType));
    }

    // The rest take one number: an index or an id.
    const uint32_t number = reader.U32();
    if (!reader.Ok())
        return Refuse(Status::Malformed, "short request");
    switch (static_cast<Operation>(operation)) {
    case Operation::CameraId:
        if (const Camera* camera = model.CameraAt(number))
            return Number(camera->id);
        return Refuse(Status::NotFound);
    case Operation::CameraAddress:
        if (const Camera* camera = model.FindCamera(number))
            return Text(camera->address);
        return Refuse(Status::NotFound);
    case Operation::CameraName:
        if (const Camera* camera = model.FindCamera(number))
            return Text(camera->name);
        return Refuse(Status::NotFound);
    case Operation::TriggerId:
        if (const SoftTrigger* trigger = model.TriggerAt(number))
            return Number(trigger->id);
        return Refuse(Status::NotFound);
    case Operation::TriggerGuid:
        if (const SoftTrigger* trigger = model.FindTrigger(number))
            return Text(trigger->guid);
        return Refuse(Status::NotFound);
    case Operation::AssociationGet:
        if (const tlapi::AssociationData* association = model.FindAssociation(number)) {
            PayloadWriter results;
            tlapi::WriteAssociation(results, *association);
            return Results(results, "camera " + std::to_string(number));
        }
        return Refuse(Status::NotFound, "camera " + std::to_string(number));
    case Operation::LinkId:
        if (const tlapi::EventLinkData* link = model.LinkAt(number))
            return Number(link->id);
        return Refuse(Status::NotFound);
    case Operation::LinkGet:
        if (const tlapi::EventLinkData* link = model.FindLink(number)) {
            PayloadWriter results;
            tlapi::WriteEventLink(results, *link);
            return Results(results, "link " + std::to_string(number));
        }
        return Refuse(Status::NotFound, "link " + std::to_string(number));
    default:
        return Refuse(Status::UnknownOperation);
    }
}

} // namespace nvrsim
