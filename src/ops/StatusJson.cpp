#include "ops/StatusJson.h"

#include "ops/JsonText.h"
#include "ops/UtcTime.h"

namespace korvel {

namespace {

// Builds one object: each field after the first is preceded by a comma.
class JsonObject
{
public:
    explicit JsonObject(std::string& out) : out(out) { out += '{'; }
    ~JsonObject() { out += '}'; }
    JsonObject(const JsonObject&) = delete;
    JsonObject& operator=(const JsonObject&) = delete;

    std::string& Key(const char* name)
    {
        if (!first)
            out += ',';
        first = false;
        AppendJsonString(out, name);
        out += ':';
        return out;
    }
    void Text(const char* name, const std::string& value) { AppendJsonString(Key(name), value); }
    void Text(const char* name, const std::optional<std::string>& value)
    {
        AppendJsonOrNull(Key(name), value);
    }
    template <typename Value>
    void Number(const char* name, Value value)
    {
        Key(name) += std::to_string(value);
    }
    template <typename Value>
    void Number(const char* name, const std::optional<Value>& value)
    {
        Key(name) += value ? std::to_string(*value) : std::string("null");
    }
    void Bool(const char* name, bool value) { Key(name) += value ? "true" : "false"; }

private:
    std::string& out;
    bool first = true;
};

// A TCP port as a number; a serial device as its name.
void AppendPort(JsonObject& object, const CameraStatus& camera)
{
    bool numeric = !camera.serial && !camera.port.empty() && camera.port.size() <= 5;
    for (const char c : camera.port)
        numeric = numeric && c >= '0' && c <= '9';
    if (numeric)
        object.Number("port", std::stoul(camera.port));
    else
        object.Text("port", camera.port);
}

void AppendCamera(std::string& out, const CameraStatus& camera)
{
    JsonObject object(out);
    object.Number("pelco", camera.pelco);
    object.Text("address", camera.address);
    AppendPort(object, camera);
    object.Text("transport", std::string(camera.serial ? "serial" : "tcp"));
    object.Text("link", camera.link);
    object.Number("nvr_camera_id", camera.nvrCameraId);
    object.Text("nvr_camera_name", camera.nvrCameraName);
    std::string& holder = object.Key("holder");
    if (!camera.holder) {
        holder += "null";
    } else {
        JsonObject held(holder);
        held.Number("session", camera.holder->session);
        held.Text("user", camera.holder->user);
        held.Number("priority", camera.holder->priority);
        held.Number("hold_left_ms", camera.holder->holdLeftMs);
    }
    std::string& reservation = object.Key("reservation");
    if (!camera.reservation) {
        reservation += "null";
    } else {
        JsonObject reserved(reservation);
        reserved.Text("for", camera.reservation->forUser);
        reserved.Text("by", camera.reservation->by);
        reserved.Number("left_ms", camera.reservation->leftMs);
    }
    object.Text("patrol", camera.patrol);
}

void AppendSession(std::string& out, const SessionStatus& session)
{
    JsonObject object(out);
    object.Number("session", session.session);
    object.Text("client", session.client);
    object.Text("user", session.user);
    object.Number("priority", session.priority);
    object.Number("camera", session.camera);
    object.Bool("choosing", session.choosing);
}

void AppendNvr(std::string& out, const NvrStatus& nvr)
{
    JsonObject object(out);
    object.Text("address", nvr.address);
    object.Text("state", nvr.state);
    object.Number("cameras", nvr.cameras);
    object.Number("soft_triggers", nvr.softTriggers);
}

template <typename Item, typename Append>
void AppendArray(std::string& out, const std::vector<Item>& items, Append append)
{
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += ',';
        append(out, items[i]);
    }
    out += ']';
}

} // namespace

std::string RenderStatusJson(const StatusSnapshot& status)
{
    std::string out;
    {
        JsonObject object(out);
        object.Text("version", status.version);
        object.Text("started", FormatUtc(status.started, false));
        object.Number("uptime_s", status.uptimeSeconds);
        object.Text("config_loaded", FormatUtc(status.configuration.loaded, false));
        object.Number("config_generation", status.configuration.generation);
        std::string& reload = object.Key("last_reload");
        if (const auto& last = status.configuration.lastReload) {
            JsonObject reloaded(reload);
            reloaded.Text("time", FormatUtc(last->ended, false));
            reloaded.Text("result", last->result);
            reloaded.Text("summary", last->summary);
        } else {
            reload += "null";
        }
        object.Text("operator_listener", status.operatorListener.empty()
                                             ? std::nullopt
                                             : std::optional<std::string>(status.operatorListener));
        AppendArray(object.Key("cameras"), status.cameras, AppendCamera);
        AppendArray(object.Key("sessions"), status.sessions, AppendSession);
        AppendArray(object.Key("nvrs"), status.nvrs, AppendNvr);
    }
    out += '\n';
    return out;
}

} // namespace korvel
