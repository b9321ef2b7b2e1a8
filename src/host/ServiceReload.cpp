// A reload: tlKorvel.xml read again with the loader of the start (on the
// reload's own thread, see ConfigurationReader), compared with the
// configuration in use (ConfigurationChanges), and the difference applied as
// one step on the loop, each change logged as it is made.
#include "host/ServiceRun.h"

#include "camera/TrackCamera.h"
#include "client/ClientServer.h"
#include "client/ControlService.h"
#include "client/OperationsFeed.h"
#include "clock/SteadyTime.h"
#include "log/LogFile.h"
#include "nvr/NVRConnection.h"
#include "nvr/NvrCameraDirectory.h"
#include "ops/AuditTrail.h"
#include "ops/NvrStatusBoard.h"
#include "ops/StatusServer.h"
#include "platform/ProgramDirectory.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <exception>
#include <system_error>

namespace korvel {

namespace {

using SettingKind = ConfigurationChanges::Setting::Kind;
using UserKind = ConfigurationChanges::User::Kind;
using CameraKind = ConfigurationChanges::Camera::Kind;
using NvrKind = ConfigurationChanges::Nvr::Kind;

void WriteLine(const std::string& line)
{
    LogFile.BeginLine() << line << std::endl;
}

ReloadCounts Counted(const ConfigurationChanges& changes)
{
    ReloadCounts counts;
    counts.usersAdded = static_cast<int>(changes.Count(UserKind::Added));
    counts.usersRemoved = static_cast<int>(changes.Count(UserKind::Removed));
    counts.camerasAdded = static_cast<int>(changes.Count(CameraKind::Added));
    counts.camerasRemoved = static_cast<int>(changes.Count(CameraKind::Removed));
    counts.camerasChanged = static_cast<int>(changes.Count(CameraKind::Changed) +
                                             changes.Count(CameraKind::RulesChanged));
    // Every NVR whose connection the reload touched: added, removed or changed.
    counts.nvrsChanged = static_cast<int>(changes.nvrs.size());
    return counts;
}

} // namespace

std::string ServiceRun::EndpointText(const boost::asio::ip::tcp::endpoint& endpoint)
{
    const auto address = endpoint.address();
    std::string text;
    if (address.is_v6())
        text.append("[").append(address.to_string()).append("]");
    else
        text = address.to_string();
    return text.append(":").append(std::to_string(endpoint.port()));
}

ReloadOutcome ServiceRun::Reload(const ConfigurationReader::Result& read)
{
    if (!read.failure.empty())
        return Refuse("reading it failed: " + read.failure);
    const LoadedConfiguration& loaded = read.loaded;
    for (const std::string& line : loaded.lines)
        WriteLine(line);
    if (!loaded.usable)
        return Refuse(loaded.unread);
    const Configuration& next = loaded.configuration;
    const ConfigurationChanges changes = CompareConfigurations(running, next);
    if (!changes.refusal.empty()) {
        for (const std::string& line : changes.refusal)
            WriteLine(line);
        return Refuse({});
    }

    ApplySettings(changes, next);
    ApplyUsers(changes, next);
    ApplyCameras(changes, next);
    ApplyNvrs(changes, next);
    Configuration applied = next;
    ReloadCounts counts = Counted(changes);
    if (changes.clientListener)
        applied.options = MoveClientListener(running.options, applied.options, counts.kept);
    if (changes.statusServer)
        applied.options = ChangeStatusServer(running.options, applied.options, counts.kept);
    if (changes.auditTrail)
        ChangeAuditTrail(next.control.auditFile);
    running = std::move(applied);

    const auto now = wall.Now();
    const bool partial = !counts.kept.empty();
    ++configurationStatus.generation;
    ++(partial ? configurationStatus.reloadsPartial : configurationStatus.reloadsApplied);
    configurationStatus.loaded = now;
    const ReloadOutcome outcome{partial ? ReloadOutcome::Result::Partial
                                        : ReloadOutcome::Result::Applied,
                                ReloadedSummary(counts)};
    configurationStatus.lastReload = ReloadStatus{now, ResultName(outcome.result), outcome.summary};
    RecordReload(outcome);
    return outcome;
}

ReloadOutcome ServiceRun::Refuse(const std::string& why)
{
    ++configurationStatus.reloadsRefused;
    const ReloadOutcome outcome{ReloadOutcome::Result::Refused, ReloadRefusedSummary(why)};
    configurationStatus.lastReload =
        ReloadStatus{wall.Now(), ResultName(outcome.result), outcome.summary};
    RecordReload(outcome);
    return outcome;
}

// Each takes effect where it is next needed: the next hold, retry wait,
// connection or LOGIN.
void ServiceRun::ApplySettings(const ConfigurationChanges& changes, const Configuration& next)
{
    bool policyChanged = false;
    for (const auto& setting : changes.settings) {
        WriteLine(setting.line);
        switch (setting.kind) {
        case SettingKind::LockTime:
            control->SetLockTime(std::chrono::seconds(next.control.lockTimeSecs));
            break;
        case SettingKind::RetryInterval:
            for (auto& entry : cameras)
                entry.second->SetRetryInterval(next.options.retryIntervalSecs);
            for (auto& entry : nvrs)
                entry.second->SetRetryInterval(next.options.retryIntervalSecs);
            break;
        case SettingKind::MaxSessions:
        case SettingKind::RequireLogin:
        case SettingKind::LoginThrottle:
            policyChanged = true;
            break;
        case SettingKind::Directory:
            server->SetDirectory(next.control.directory);
            break;
        }
    }
    if (policyChanged)
        server->SetPolicy(next.sessionPolicy);
}

void ServiceRun::ApplyUsers(const ConfigurationChanges& changes, const Configuration& next)
{
    // LOGIN looks here: an added user logs in at once.
    users = next.control.users;
    for (const auto& user : changes.users) {
        WriteLine(user.line);
        switch (user.kind) {
        case UserKind::Removed:
        case UserKind::PasswordChanged:
            server->EndSessionsOf(user.account.name);
            break;
        case UserKind::PriorityChanged:
            server->SetUserPriority(user.account.name, user.account.priority);
            break;
        case UserKind::Added:
        case UserKind::SupervisorChanged: // asked anew at the supervisor's next request
            break;
        }
    }
}

// Every camera that goes is closed before any is built: one may take the
// Pelco number or the serial device of another.
void ServiceRun::ApplyCameras(const ConfigurationChanges& changes, const Configuration& next)
{
    for (const auto& camera : changes.cameras) {
        if (camera.kind == CameraKind::RulesChanged) {
            WriteLine(camera.line);
            control->SetCameraRules(camera.settings.address, camera.settings.rules);
        }
    }
    for (const auto& camera : changes.cameras) {
        if (camera.kind == CameraKind::Added || camera.kind == CameraKind::RulesChanged)
            continue;
        WriteLine(camera.line);
        RemoveCamera(camera.settings.address, camera.kind == CameraKind::Changed);
    }
    for (const auto& camera : changes.cameras) {
        if (camera.kind == CameraKind::Removed || camera.kind == CameraKind::RulesChanged)
            continue;
        if (camera.kind == CameraKind::Added)
            WriteLine(camera.line);
        AddCamera(camera.settings, next);
    }
    // A camera that could not be built again loses what it carried.
    control->EndCarriedOver();
    if (!changes.cameraAddresses)
        return;
    std::vector<std::string> addresses;
    for (const auto& entry : cameras)
        addresses.push_back(entry.first);
    nvrCameras->SetCameras(addresses);
    for (auto& entry : nvrs)
        entry.second->RequestRefresh();
}

void ServiceRun::RemoveCamera(const std::string& address, bool rebuilt)
{
    const auto camera = cameras.find(address);
    if (camera == cameras.end())
        return;
    // Stopped first, which counts what still waited for the camera.
    camera->second->Stop();
    control->RemoveCamera(address, rebuilt);
    cameras.erase(camera);
}

void ServiceRun::AddCamera(const CameraSettings& settings, const Configuration& next)
{
    auto camera = std::make_unique<TrackCamera>(io, time, settings,
                                                next.options.retryIntervalSecs,
                                                static_cast<int>(next.control.lockTimeSecs));
    // Not met: the changes refuse a serial line that would fail.
    if (!camera->StartFailure().empty()) {
        WriteLine("Track camera at " + settings.address + " not started: " + camera->StartFailure());
        camera->Stop();
        return;
    }
    control->AddCamera(*camera);
    cameras.emplace(settings.address, std::move(camera));
}

void ServiceRun::ApplyNvrs(const ConfigurationChanges& changes, const Configuration& next)
{
    for (const auto& nvr : changes.nvrs) {
        WriteLine(nvr.line);
        const std::string& address = nvr.settings.address;
        if (nvr.kind != NvrKind::Added)
            CloseNvr(address);
        if (nvr.kind == NvrKind::Removed) {
            nvrBoard->Removed(address);
            continue;
        }
        nvrBoard->Started(address);
        MakeNvr(nvr.settings, next.options.retryIntervalSecs).Start();
    }
}

void ServiceRun::CloseNvr(const std::string& address)
{
    const auto connection = nvrs.find(address);
    if (connection == nvrs.end())
        return;
    connection->second->Close();
    // One whose worker has ended already (a refused login) goes at once.
    if (connection->second->WorkerRunning())
        closingNvrs.emplace(nvrNumbers[address], std::move(connection->second));
    nvrs.erase(connection);
    nvrNumbers.erase(address);
}

Options ServiceRun::MoveClientListener(const Options& was, const Options& next,
                                       std::vector<std::string>& kept)
{
    const std::string before = EndpointText(server->LocalEndpoint());
    const std::string failure = server->Listen(next.clientAddress, next.clientPort);
    if (failure.empty()) {
        LogFile.BeginLine() << "Listening for KorvelControl sessions on "
                            << EndpointText(server->LocalEndpoint()) << " instead of " << before
                            << std::endl;
        return next;
    }
    const std::string wanted = next.clientAddress + ":" + std::to_string(next.clientPort);
    LogFile.BeginLine() << "Cannot listen for KorvelControl sessions on " << wanted << ": "
                        << failure << "; still listening on " << before << std::endl;
    kept.push_back("still listening for KorvelControl sessions on " + before + " instead of " +
                   wanted);
    Options options = next;
    options.clientAddress = was.clientAddress;
    options.clientPort = was.clientPort;
    return options;
}

Options ServiceRun::ChangeStatusServer(const Options& was, const Options& next,
                                       std::vector<std::string>& kept)
{
    if (next.statusPort == 0) {
        if (statusServer) {
            statusServer.reset();
            WriteLine("Status server stopped");
        }
        return next;
    }
    if (statusServer && was.statusAddress == next.statusAddress &&
        was.statusPort == next.statusPort) {
        statusServer->SetToken(next.statusToken);
        WriteLine("Status server token changed");
        return next;
    }
    auto started = MakeStatusServer(next);
    if (started->StartFailure().empty()) {
        statusServer = std::move(started);
        WriteLine("Status server listening on " + StatusServerUrl());
        return next;
    }
    Options options = next;
    options.statusAddress = was.statusAddress;
    options.statusPort = was.statusPort;
    const std::string wanted = next.statusAddress + ":" + std::to_string(next.statusPort);
    if (!statusServer) {
        LogFile.BeginLine() << "Status server not started on " << wanted << ": "
                            << started->StartFailure() << std::endl;
        kept.push_back("no status server on " + wanted);
        return options;
    }
    // The token applies all the same: the one it replaces may be known.
    statusServer->SetToken(next.statusToken);
    LogFile.BeginLine() << "Status server not moved to " << wanted << ": "
                        << started->StartFailure() << "; still listening on " << StatusServerUrl()
                        << std::endl;
    kept.push_back("the status server still on " + StatusServerUrl() + " instead of " + wanted);
    return options;
}

void ServiceRun::ChangeAuditTrail(const std::string& auditFile)
{
    operations->SetAuditTrail(nullptr);
    if (audit) {
        if (auditFile.empty())
            WriteLine("No longer writing the control audit trail to " + audit->Path());
        const std::uint64_t number = ++auditTrailsReplaced;
        ReplacedAuditTrail& replaced = replacedAuditTrails[number];
        replaced.trail = std::move(audit);
        const auto letGo = [this, number] { replacedAuditTrails.erase(number); };
        // From the writer's thread, while the trail is there (so while the loop is).
        replaced.trail->Retire([this, letGo] { boost::asio::post(io, letGo); });
        replaced.stopWait = std::make_unique<LoopTimer>(io, time);
        replaced.stopWait->ExpiresAfter(AuditTrail::StopWait);
        replaced.stopWait->AsyncWait([letGo](const boost::system::error_code& error) {
            if (!error)
                letGo();
        });
    }
    if (!auditFile.empty()) {
        try {
            StartAuditTrail(auditFile);
        } catch (const std::system_error& error) {
            // No thread for its writer (a task limit): the service goes on without.
            LogFile.BeginLine() << "Cannot start the control audit trail: " << error.what()
                                << std::endl;
            audit.reset();
        }
    }
}

void ServiceRun::RecordReload(const ReloadOutcome& outcome)
{
    if (!audit)
        return;
    AuditRecord record;
    record.event = "reload";
    record.session.reset();
    record.result = ResultName(outcome.result);
    record.summary = outcome.summary;
    audit->Write(record);
}

} // namespace korvel
