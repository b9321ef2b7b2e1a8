#include "config/ConfigurationChanges.h"

#include <algorithm>
#include <map>

namespace korvel {

namespace {

using Setting = ConfigurationChanges::Setting;
using User = ConfigurationChanges::User;
using Camera = ConfigurationChanges::Camera;
using Nvr = ConfigurationChanges::Nvr;

std::string Flag(bool on)
{
    return on ? "1" : "0";
}

void CompareSetting(std::vector<Setting>& settings, Setting::Kind kind, const char* name,
                    const std::string& running, const std::string& next, const char* unit = "")
{
    if (running != next)
        settings.push_back({kind, std::string(name) + " changed from " + running + " to " + next +
                                      unit});
}

std::vector<Setting> CompareSettings(const Configuration& running, const Configuration& next)
{
    std::vector<Setting> settings;
    CompareSetting(settings, Setting::Kind::LockTime, "LockTime",
                   std::to_string(running.control.lockTimeSecs),
                   std::to_string(next.control.lockTimeSecs), " seconds");
    CompareSetting(settings, Setting::Kind::RetryInterval, "RetryIntervalSecs",
                   std::to_string(running.options.retryIntervalSecs),
                   std::to_string(next.options.retryIntervalSecs), " seconds");
    const SessionPolicy& was = running.sessionPolicy;
    const SessionPolicy& is = next.sessionPolicy;
    CompareSetting(settings, Setting::Kind::MaxSessions, "MaxSessions",
                   std::to_string(was.maxSessions), std::to_string(is.maxSessions));
    CompareSetting(settings, Setting::Kind::RequireLogin, "RequireLogin",
                   Flag(was.requireLogin), Flag(is.requireLogin));
    CompareSetting(settings, Setting::Kind::LoginThrottle, "LoginThrottle",
                   Flag(was.throttleLogins), Flag(is.throttleLogins));
    if (running.control.directory != next.control.directory) {
        const DirectorySettings& directory = next.control.directory;
        settings.push_back(
            {Setting::Kind::Directory,
             directory.Enabled() ? DirectoryAccountsLine(directory) + " from the next LOGIN"
                                 : "Directory accounts off from the next LOGIN"});
    }
    return settings;
}

std::vector<User> CompareUsers(const UserTable& running, const UserTable& next)
{
    std::vector<User> users;
    for (const auto& [name, account] : running) {
        const auto kept = next.find(name);
        if (kept == next.end()) {
            users.push_back({User::Kind::Removed, account,
                             "User " + name + " removed; ending its sessions"});
            continue;
        }
        const UserAccount& now = kept->second;
        if (now.password != account.password || now.passwordHash != account.passwordHash)
            users.push_back({User::Kind::PasswordChanged, now,
                             "Password of user " + name + " changed; ending its sessions"});
        if (now.priority != account.priority)
            users.push_back({User::Kind::PriorityChanged, now,
                             "Priority of user " + name + " changed from " +
                                 std::to_string(account.priority) + " to " +
                                 std::to_string(now.priority)});
        if (now.supervisor != account.supervisor)
            users.push_back({User::Kind::SupervisorChanged, now,
                             "User " + name + (now.supervisor ? " is now" : " is no longer") +
                                 " a supervisor"});
    }
    for (const auto& [name, account] : next) {
        if (!running.count(name))
            users.push_back({User::Kind::Added, account, "User " + name + " added"});
    }
    // By name, whatever the kind: one user's lines stay together.
    std::stable_sort(users.begin(), users.end(), [](const User& a, const User& b) {
        return a.account.name < b.account.name;
    });
    return users;
}

// The camera the service builds for each Address: the first of it.
std::map<std::string, CameraSettings> FiledCameras(const Configuration& configuration)
{
    std::map<std::string, CameraSettings> filed;
    for (const ConfiguredCamera& camera : configuration.cameras) {
        if (camera.filed)
            filed.emplace(camera.settings.address, camera.settings);
    }
    return filed;
}

std::string PelcoText(const CameraSettings& camera)
{
    return "(PelcoNumber " + std::to_string(camera.pelcoNumber) + ")";
}

std::vector<Camera> CompareCameras(const Configuration& running, const Configuration& next)
{
    const auto was = FiledCameras(running);
    const auto is = FiledCameras(next);
    std::vector<Camera> cameras;
    for (const auto& [address, camera] : was) {
        const auto kept = is.find(address);
        if (kept == is.end())
            cameras.push_back({Camera::Kind::Removed, camera,
                               "Track camera at " + address + " removed " + PelcoText(camera)});
    }
    for (const auto& [address, camera] : was) {
        const auto kept = is.find(address);
        if (kept == is.end() || kept->second == camera)
            continue;
        if (kept->second.SameBuild(camera))
            cameras.push_back({Camera::Kind::RulesChanged, kept->second,
                               "Track camera at " + address + " keeps running with its "
                               "changed rules " + PelcoText(kept->second)});
        else
            cameras.push_back({Camera::Kind::Changed, kept->second,
                               "Track camera at " + address + " changed; starting it again " +
                                   PelcoText(kept->second)});
    }
    for (const auto& [address, camera] : is) {
        if (!was.count(address))
            cameras.push_back({Camera::Kind::Added, camera,
                               "Track camera at " + address + " added " + PelcoText(camera)});
    }
    return cameras;
}

std::vector<Nvr> CompareNvrs(const Configuration& running, const Configuration& next)
{
    std::vector<Nvr> nvrs;
    for (const auto& [address, nvr] : running.nvrs) {
        const auto kept = next.nvrs.find(address);
        if (kept == next.nvrs.end())
            nvrs.push_back({Nvr::Kind::Removed, nvr, "NVR at " + address + " removed"});
        else if (!(kept->second == nvr))
            nvrs.push_back({Nvr::Kind::Changed, kept->second,
                            "NVR at " + address + " changed; logging in again"});
    }
    for (const auto& [address, nvr] : next.nvrs) {
        if (!running.nvrs.count(address))
            nvrs.push_back({Nvr::Kind::Added, nvr, "NVR at " + address + " added"});
    }
    return nvrs;
}

// The one setting that makes a camera that is built fail whenever its
// device opens.
std::vector<std::string> Refusal(const std::vector<Camera>& cameras)
{
    std::vector<std::string> lines;
    for (const Camera& camera : cameras) {
        if (camera.kind != Camera::Kind::Removed && !camera.settings.IsNetworkCamera() &&
            !camera.settings.serial.dataBitsFailure.empty())
            lines.push_back("Invalid DataBits value for camera at " + camera.settings.address +
                            ":" + camera.settings.port);
    }
    return lines;
}

} // namespace

std::size_t ConfigurationChanges::Count(User::Kind kind) const
{
    return static_cast<std::size_t>(std::count_if(
        users.begin(), users.end(), [kind](const User& user) { return user.kind == kind; }));
}

std::size_t ConfigurationChanges::Count(Camera::Kind kind) const
{
    return static_cast<std::size_t>(
        std::count_if(cameras.begin(), cameras.end(),
                      [kind](const Camera& camera) { return camera.kind == kind; }));
}

ConfigurationChanges CompareConfigurations(const Configuration& running, const Configuration& next)
{
    ConfigurationChanges changes;
    changes.cameras = CompareCameras(running, next);
    changes.refusal = Refusal(changes.cameras);
    if (!changes.refusal.empty()) {
        changes.cameras.clear();
        return changes;
    }
    changes.settings = CompareSettings(running, next);
    changes.users = CompareUsers(running.control.users, next.control.users);
    changes.nvrs = CompareNvrs(running, next);

    const Options& was = running.options;
    const Options& is = next.options;
    changes.clientListener = was.clientAddress != is.clientAddress || was.clientPort != is.clientPort;
    changes.statusServer = was.statusAddress != is.statusAddress ||
                           was.statusPort != is.statusPort || was.statusToken != is.statusToken;
    changes.auditTrail = running.control.auditFile != next.control.auditFile;
    changes.cameraAddresses =
        std::any_of(changes.cameras.begin(), changes.cameras.end(),
                    [](const Camera& camera) { return camera.kind != Camera::Kind::Changed; });
    return changes;
}

} // namespace korvel
