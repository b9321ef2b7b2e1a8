#pragma once

// A status server on its own loop thread with supervisor actions that only
// record what they are asked, for the API's, korvelctl's and the console's
// tests through real sockets.
#include "clock/SteadyTime.h"
#include "ops/StatusServer.h"
#include "ops/SupervisorActions.h"

#include <boost/asio/io_context.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace korvel {

// Camera 3 and 4 and session 2 exist; camera 7 is reserved by another
// supervisor ("boss"). Login: "sup" / "pw" and "boss" / "pw2" are
// supervisors, "op" / "op" is not. Every action is recorded as one line
// ("reserve 3 for=op 5min by sup").
class RecordingSupervisor final : public SupervisorActions
{
public:
    explicit RecordingSupervisor(boost::asio::io_context& io) : io(io) {}

    void SupervisorLogin(const std::string& clientAddress, const std::string& user,
                         const std::string& password, std::function<void(bool)> answer) override;
    bool IsSupervisor(const std::string& user) const override;
    Result Release(std::uint32_t pelco, const std::string& supervisor) override;
    Result Reserve(std::uint32_t pelco, const std::optional<std::string>& forUser,
                   std::chrono::minutes minutes, const std::string& supervisor) override;
    Result Unreserve(std::uint32_t pelco, const std::string& supervisor) override;
    Result EndSession(std::uint16_t session, const std::string& supervisor) override;

    // The /status document of what the actions did.
    std::string Status() const;

    std::vector<std::string> Calls() const;
    void Demote(const std::string& user);

private:
    Result Record(std::string line, bool found);

    boost::asio::io_context& io;
    mutable std::mutex mutex;
    std::vector<std::string> calls;
    std::set<std::string> demoted;
    std::map<std::uint32_t, std::pair<std::optional<std::string>, std::string>> reservations;
    bool sessionEnded = false;
};

class SupervisedStatusServer
{
public:
    // statusToken: the StatusToken; actions: false for a server without the API.
    explicit SupervisedStatusServer(std::string statusToken = "", bool actions = true);
    ~SupervisedStatusServer();

    std::uint16_t Port() const { return port; }
    std::string Url() const;
    RecordingSupervisor& Supervisor() { return supervisor; }

private:
    boost::asio::io_context io;
    SteadyTime time;
    RecordingSupervisor supervisor{io};
    std::unique_ptr<StatusServer> server;
    std::uint16_t port = 0;
    std::thread loop;
};

} // namespace korvel
