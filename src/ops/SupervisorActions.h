#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvel {

// What a supervisor may have the operator side do, as the supervisor API of
// the status server asks it: the operator side implements it, the run hands
// it to the status server. Every call on the I/O loop thread; none calls
// back into its caller before it returns.
class SupervisorActions
{
public:
    struct Result
    {
        enum class Kind
        {
            Done,
            NotFound, // no camera has the Pelco number, no session the number
            Conflict, // another supervisor's reservation stands (`reason` says whose)
        };
        Kind kind = Kind::Done;
        std::string reason;
    };

    // A supervisor's login (user and password as a LOGIN checks them, and the
    // user marked Supervisor), from the client address, throttled as
    // operator logins are: `answer` is called once, on the loop, perhaps
    // later, with whether it passed.
    virtual void SupervisorLogin(const std::string& clientAddress, const std::string& user,
                                 const std::string& password,
                                 std::function<void(bool passed)> answer) = 0;
    // Whether the user is (still) a supervisor.
    virtual bool IsSupervisor(const std::string& user) const = 0;

    // The camera's hold ends now, told and recorded as a lapse; a
    // reservation ends with it.
    virtual Result Release(std::uint32_t pelco, const std::string& supervisor) = 0;
    // Until `minutes` have passed or Unreserve, only sessions logged in as
    // `forUser` steer the camera (none: nobody does).
    virtual Result Reserve(std::uint32_t pelco, const std::optional<std::string>& forUser,
                           std::chrono::minutes minutes, const std::string& supervisor) = 0;
    virtual Result Unreserve(std::uint32_t pelco, const std::string& supervisor) = 0;
    // The operator connection with the session number ends, logged like a
    // lost session.
    virtual Result EndSession(std::uint16_t session, const std::string& supervisor) = 0;

protected:
    ~SupervisorActions() = default;
};

} // namespace korvel
