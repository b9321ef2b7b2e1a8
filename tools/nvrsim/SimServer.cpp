#include "SimServer.h"

#include "ClientSession.h"

#include "tlapi/tlapi.h"

#include <boost/asio/post.hpp>

#include <iostream>
#include <vector>

namespace nvrsim {

using boost::asio::ip::tcp;

SimServer::SimServer(boost::asio::io_context& io, const tcp::endpoint& endpoint, NvrModel& model,
                     bool verbose)
    : io(io), acceptor(io, endpoint), handler(model), verbose(verbose)
{
    Accept();
}

tcp::endpoint SimServer::LocalEndpoint() const
{
    return acceptor.local_endpoint();
}

void SimServer::Accept()
{
    acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error == boost::asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!error) {
            const unsigned id = nextSessionId++;
            auto session = std::make_shared<ClientSession>(std::move(socket), id, *this);
            sessions.emplace(id, session);
            session->Start();
        } else {
            Log(std::string("accept: ") + error.message(), true);
        }
        Accept();
    });
}

std::size_t SimServer::Broadcast(const PendingEvent& event)
{
    // Sending may end a session (and erase it from the map), so walk a copy.
    std::vector<std::shared_ptr<ClientSession>> targets;
    for (const auto& entry : sessions)
        if (entry.second->LoggedIn())
            targets.push_back(entry.second);
    for (const auto& session : targets)
        session->SendEvent(event);
    return targets.size();
}

void SimServer::ScheduleRefresh()
{
    if (refreshPending)
        return;
    refreshPending = true;
    // Posted, so that the reply and events of the request that made the
    // change go out first.
    boost::asio::post(io, [this] {
        refreshPending = false;
        PendingEvent event;
        event.type = TLAPI_EVENT_REFRESH_DUE;
        const std::size_t count = Broadcast(event);
        Log("refresh announced to " + std::to_string(count) + " sessions");
    });
}

std::size_t SimServer::DropAll()
{
    std::vector<std::shared_ptr<ClientSession>> all;
    for (const auto& entry : sessions)
        all.push_back(entry.second);
    for (const auto& session : all)
        session->Stop("dropped");
    return all.size();
}

std::size_t SimServer::RevokeLogins()
{
    std::vector<std::shared_ptr<ClientSession>> all;
    for (const auto& entry : sessions)
        all.push_back(entry.second);
    std::size_t count = 0;
    for (const auto& session : all)
        count += session->Revoke() ? 1 : 0;
    return count;
}

void SimServer::Hold(uint16_t operation, std::size_t count)
{
    holdOperation = operation;
    holdCountdown = count;
}

bool SimServer::TakeHold(uint16_t operation)
{
    if (holdCountdown == 0 || operation != holdOperation)
        return false;
    return --holdCountdown == 0;
}

std::size_t SimServer::Release()
{
    holdCountdown = 0;
    // Answering may end a session (and erase it from the map), so walk a copy.
    std::vector<std::shared_ptr<ClientSession>> all;
    for (const auto& entry : sessions)
        all.push_back(entry.second);
    std::size_t count = 0;
    for (const auto& session : all)
        count += session->Release() ? 1 : 0;
    return count;
}

void SimServer::Stop()
{
    boost::system::error_code ignored;
    acceptor.close(ignored);
    DropAll();
}

void SimServer::Forget(unsigned id)
{
    sessions.erase(id);
}

void SimServer::DumpSessions(std::ostream& out) const
{
    for (const auto& entry : sessions) {
        const ClientSession& s = *entry.second;
        out << "session " << s.Id() << " peer=" << s.Peer()
            << " loggedin=" << (s.LoggedIn() ? "yes" : "no") << " user=" << DumpText(s.User())
            << "\n";
    }
}

void SimServer::Log(const std::string& line, bool always) const
{
    if (verbose || always)
        std::cerr << "nvrsim: " << line << std::endl;
}

} // namespace nvrsim
