#include "SupervisorConsole.h"

#include "support/StatusRequests.h"
#include "ops/JsonText.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <future>

namespace korvel {

void RecordingSupervisor::SupervisorLogin(const std::string&, const std::string& user,
                                          const std::string& password,
                                          std::function<void(bool)> answer)
{
    const bool passed = (user == "sup" && password == "pw") || (user == "boss" && password == "pw2");
    {
        std::lock_guard lock(mutex);
        calls.push_back("login " + user + (passed ? " passed" : " failed"));
    }
    boost::asio::post(io, [answer = std::move(answer), passed] { answer(passed); });
}

bool RecordingSupervisor::IsSupervisor(const std::string& user) const
{
    std::lock_guard lock(mutex);
    return (user == "sup" || user == "boss") && !demoted.contains(user);
}

SupervisorActions::Result RecordingSupervisor::Record(std::string line, bool found)
{
    std::lock_guard lock(mutex);
    calls.push_back(std::move(line));
    Result result;
    if (!found)
        result.kind = Result::Kind::NotFound;
    return result;
}

SupervisorActions::Result RecordingSupervisor::Release(std::uint32_t pelco,
                                                       const std::string& supervisor)
{
    {
        std::lock_guard lock(mutex);
        if (pelco != 7)
            reservations.erase(pelco);
    }
    return Record("release " + std::to_string(pelco) + " by " + supervisor,
                  pelco == 3 || pelco == 4 || pelco == 7);
}

SupervisorActions::Result RecordingSupervisor::Reserve(std::uint32_t pelco,
                                                       const std::optional<std::string>& forUser,
                                                       std::chrono::minutes minutes,
                                                       const std::string& supervisor)
{
    const std::string line = "reserve " + std::to_string(pelco) + " for=" +
                             forUser.value_or("(nobody)") + " " +
                             std::to_string(minutes.count()) + "min by " + supervisor;
    if (pelco == 7 && supervisor != "boss") {
        std::lock_guard lock(mutex);
        calls.push_back(line);
        return {Result::Kind::Conflict, "camera 7 is reserved by boss"};
    }
    const bool found = pelco == 3 || pelco == 4 || pelco == 7;
    if (found) {
        std::lock_guard lock(mutex);
        reservations[pelco] = {forUser, supervisor};
    }
    return Record(line, found);
}

SupervisorActions::Result RecordingSupervisor::Unreserve(std::uint32_t pelco,
                                                         const std::string& supervisor)
{
    {
        std::lock_guard lock(mutex);
        if (pelco != 7)
            reservations.erase(pelco);
    }
    return Record("unreserve " + std::to_string(pelco) + " by " + supervisor,
                  pelco == 3 || pelco == 4 || pelco == 7);
}

SupervisorActions::Result RecordingSupervisor::EndSession(std::uint16_t session,
                                                          const std::string& supervisor)
{
    {
        std::lock_guard lock(mutex);
        if (session == 2)
            sessionEnded = true;
    }
    return Record("end " + std::to_string(session) + " by " + supervisor, session == 2);
}

std::string RecordingSupervisor::Status() const
{
    std::lock_guard lock(mutex);
    std::string out = R"({"version":"test","started":"2026-12-09T07:00:00.000Z","uptime_s":5,)"
                      R"("cameras":[)";
    bool first = true;
    for (const std::uint32_t pelco : {3u, 4u, 7u}) {
        if (!first)
            out += ',';
        first = false;
        out += R"({"pelco":)" + std::to_string(pelco) +
               R"(,"address":"127.0.0.1:4001","transport":"tcp","link":"connected",)"
               R"("nvr_camera_name":"Cam )" +
               std::to_string(pelco) + R"(","holder":)";
        out += pelco == 4 ? R"({"session":2,"user":"op","priority":5,"hold_left_ms":20000})"
                          : "null";
        out += R"(,"reservation":)";
        if (pelco == 7) {
            out += R"({"for":null,"by":"boss","left_ms":600000})";
        } else if (const auto found = reservations.find(pelco); found != reservations.end()) {
            out += R"({"for":)";
            AppendJsonOrNull(out, found->second.first);
            out += R"(,"by":)";
            AppendJsonString(out, found->second.second);
            out += R"(,"left_ms":300000})";
        } else {
            out += "null";
        }
        out += R"(,"patrol":)";
        out += pelco == 3 ? R"("patrolling")" : R"("off")";
        out += '}';
    }
    out += R"(],"sessions":[)";
    if (!sessionEnded)
        out += R"({"session":2,"client":"10.0.0.5:50123","user":"op","priority":5,)"
               R"("camera":4,"choosing":false})";
    out += R"(],"nvrs":[]})";
    out += '\n';
    return out;
}

std::vector<std::string> RecordingSupervisor::Calls() const
{
    std::lock_guard lock(mutex);
    return calls;
}

void RecordingSupervisor::Demote(const std::string& user)
{
    std::lock_guard lock(mutex);
    demoted.insert(user);
}

SupervisedStatusServer::SupervisedStatusServer(std::string statusToken, bool actions)
{
    StatusServer::Content content;
    content.status = [this] { return supervisor.Status(); };
    content.metrics = [] { return std::string("korvel_up 1\n"); };
    server = std::make_unique<StatusServer>(io, time, StatusHost, 0, std::move(statusToken),
                                            std::move(content), actions ? &supervisor : nullptr);
    port = server->LocalEndpoint().port();
    loop = std::thread([this] {
        auto work = boost::asio::make_work_guard(io);
        io.run();
    });
}

SupervisedStatusServer::~SupervisedStatusServer()
{
    std::promise<void> closed;
    boost::asio::post(io, [&] {
        server.reset();
        closed.set_value();
    });
    closed.get_future().wait();
    io.stop();
    loop.join();
}

std::string SupervisedStatusServer::Url() const
{
    return std::string("http://") + StatusHost + ":" + std::to_string(port) + "/";
}

} // namespace korvel
