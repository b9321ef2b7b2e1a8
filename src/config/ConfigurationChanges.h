#pragma once

#include "config/Configuration.h"

#include <cstddef>
#include <string>
#include <vector>

namespace korvel {

// What a reload changes: the running configuration and a newly loaded one
// in, the changes to make and the log line of each out. No I/O; the run
// carries the changes out (and logs the lines) in the order of the fields
// below. Each list is in the byte-wise order of its keys.
//
// Users are known by Name, cameras by Address (the filed camera of each
// Address, whichever NVR element it stands in: every NVR connection serves
// every camera), NVRs by Address.
struct ConfigurationChanges
{
    // Set when the new configuration cannot be applied although it loaded: a
    // camera to be built whose serial line no device takes (a DataBits
    // outside 5 to 8, which would end the run once the device opened). The
    // lines say why; nothing is changed.
    std::vector<std::string> refusal;

    // One setting that takes effect when it is next needed: LockTime,
    // RetryIntervalSecs, MaxSessions, RequireLogin, LoginThrottle; Directory
    // (its Service or groups) from the next LOGIN, a session logged in
    // through it keeping its priority until then.
    struct Setting
    {
        enum class Kind
        {
            LockTime,
            RetryInterval,
            MaxSessions,
            RequireLogin,
            LoginThrottle,
            Directory,
        };
        Kind kind;
        std::string line;
    };
    std::vector<Setting> settings;

    struct User
    {
        enum class Kind
        {
            Added,
            Removed,         // its sessions end
            PasswordChanged, // Password or PasswordHash: its sessions end
            PriorityChanged, // its sessions steer with the new priority from their next command
            SupervisorChanged, // the supervisor API asks the users again at its next request
        };
        Kind kind;
        UserAccount account; // the new one; the running one for Removed
        std::string line;
    };
    std::vector<User> users;

    // Removed and Changed cameras are closed first, all of them, then the
    // Changed and Added ones built: a Pelco number or a serial device that
    // one camera gives up may be taken by another.
    struct Camera
    {
        enum class Kind
        {
            Removed,
            Changed, // Port, serial settings or PelcoNumber: removed and added
            // Only the rules (CameraRules): the camera keeps running, its
            // holds, reservation and patrol with it, under the new ones.
            RulesChanged,
            Added,
        };
        Kind kind;
        CameraSettings settings; // the new ones; the running ones for Removed
        std::string line;
    };
    std::vector<Camera> cameras;

    struct Nvr
    {
        enum class Kind
        {
            Removed,
            Changed, // Port, Login or Password: closed and started again
            Added,
        };
        Kind kind;
        NvrSettings settings; // the new ones; the running ones for Removed
        std::string line;
    };
    std::vector<Nvr> nvrs;

    // The settings whose new value opens something before the old one is
    // let go (the run says how that went): ClientAddress or ClientPort;
    // StatusAddress, StatusPort or StatusToken; AuditFile.
    bool clientListener = false;
    bool statusServer = false;
    bool auditTrail = false;

    // The cameras' Addresses changed (one added or removed): the NVRs look
    // at their cameras again.
    bool cameraAddresses = false;

    std::size_t Count(User::Kind kind) const;
    std::size_t Count(Camera::Kind kind) const;
};

ConfigurationChanges CompareConfigurations(const Configuration& running, const Configuration& next);

} // namespace korvel
