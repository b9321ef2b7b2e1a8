#include "model/Observations.h"

#include <set>
#include <sstream>

namespace korvel::model {

namespace {

std::string Printable(const std::string& text)
{
    std::string shown;
    for (const char c : text)
        shown += c == '\t' ? std::string("\\t") : std::string(1, c);
    return '"' + shown + '"';
}

std::string Serials(const std::vector<std::uint32_t>& serials)
{
    std::ostringstream text;
    text << '[';
    for (std::size_t i = 0; i < serials.size(); ++i)
        text << (i ? " " : "") << '#' << serials[i];
    text << ']';
    return text.str();
}

std::string HoldText(const std::optional<HoldView>& hold)
{
    if (!hold)
        return "nobody";
    return "session " + std::to_string(hold->number) + " priority " +
           std::to_string(hold->priority) + " for " + std::to_string(hold->leftMs) + " ms";
}

void CompareLines(const std::string& name, const std::vector<std::string>& want,
                  const std::vector<std::string>& got, std::vector<std::string>& found)
{
    for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
        if (i < want.size() && i < got.size() && want[i] == got[i])
            continue;
        found.push_back(name + " log line " + std::to_string(i + 1) + ": model " +
                        (i < want.size() ? Printable(want[i]) : "nothing") + ", service " +
                        (i < got.size() ? Printable(got[i]) : "nothing"));
        return;
    }
}

} // namespace

std::vector<std::string> Differences(const Observations& model, const Observations& service)
{
    std::vector<std::string> found;
    const std::size_t clients = std::max(model.clients.size(), service.clients.size());
    for (std::size_t c = 0; c < clients; ++c) {
        const ClientView none;
        const ClientView& want = c < model.clients.size() ? model.clients[c] : none;
        const ClientView& got = c < service.clients.size() ? service.clients[c] : none;
        const std::size_t texts = std::max(want.received.size(), got.received.size());
        for (std::size_t i = 0; i < texts; ++i) {
            const bool haveWant = i < want.received.size();
            const bool haveGot = i < got.received.size();
            if (haveWant && haveGot && want.received[i] == got.received[i])
                continue;
            found.push_back("client " + std::to_string(c) + " text " + std::to_string(i + 1) +
                            ": model " + (haveWant ? Printable(want.received[i]) : "nothing") +
                            ", service " + (haveGot ? Printable(got.received[i]) : "nothing"));
            break;
        }
        CompareLines("client " + std::to_string(c), want.lines, got.lines, found);
        if (want.closedByService != got.closedByService)
            found.push_back("client " + std::to_string(c) + ": model says " +
                            (want.closedByService ? "closed" : "open") + ", service " +
                            (got.closedByService ? "closed" : "open"));
    }
    for (int slot = 0; slot < 16; ++slot) {
        const auto want = model.cameras.find(slot);
        const auto got = service.cameras.find(slot);
        const bool inModel = want != model.cameras.end();
        const bool inService = got != service.cameras.end();
        const std::string name = "camera " + std::to_string(slot);
        if (inModel != inService) {
            found.push_back(name + (inModel ? " present in the model only" : " present in the service only"));
            continue;
        }
        if (!inModel)
            continue;
        if (want->second.instance != got->second.instance)
            found.push_back(name + " added " + std::to_string(want->second.instance) +
                            " times in the model, " + std::to_string(got->second.instance) +
                            " in the service");
        CompareLines(name, want->second.lines, got->second.lines, found);
        if (want->second.link != got->second.link)
            found.push_back(name + " link: model " + want->second.link + ", service " +
                            got->second.link);
        if (want->second.carried != got->second.carried) {
            std::set<std::uint64_t> sockets;
            for (const auto& [socket, serials] : want->second.carried)
                sockets.insert(socket);
            for (const auto& [socket, serials] : got->second.carried)
                sockets.insert(socket);
            for (const std::uint64_t socket : sockets) {
                const auto w = want->second.carried.find(socket);
                const auto g = got->second.carried.find(socket);
                const std::vector<std::uint32_t> none;
                const auto& ws = w == want->second.carried.end() ? none : w->second;
                const auto& gs = g == got->second.carried.end() ? none : g->second;
                if (ws != gs)
                    found.push_back(name + " socket " + std::to_string(socket) +
                                    " carried: model " + Serials(ws) + ", service " + Serials(gs));
            }
        }
        if (want->second.hold != got->second.hold)
            found.push_back(name + " held by: model " + HoldText(want->second.hold) +
                            ", service " + HoldText(got->second.hold));
    }
    return found;
}

} // namespace korvel::model
