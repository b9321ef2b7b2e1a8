#pragma once

#include "camera/CameraTable.h"
#include "camera/CommandListener.h"
#include "camera/Lifetime.h"
#include "client/Arbitration.h"
#include "client/ClientSession.h"
#include "client/LoginThrottle.h"
#include "config/Settings.h"
#include "ops/AuditRecord.h"
#include "ops/StatusSnapshot.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace korvel {

class AuditTrail;
class TrackCamera;

// The operator client service: the listener, the session registry, and the
// carrying out of what the arbitration (Arbitration) decides: it hands
// commands to the cameras, sends the notices and runs the one hold timer.
//
// Threads: everything runs on the I/O loop thread; what the NVR side learns
// is posted to the loop (SetNvrCameraName, SoftTriggerFired). The camera
// table itself is never changed after loading.
//
// Lifetime: the server and its sessions go before the loop. Every completion
// of the server and of its sessions is guarded, so that one still queued when
// the server is destroyed does nothing even if the loop runs again.
//
// Session cap: a connection accepted while policy.maxSessions sessions are
// live is closed at once, without a greeting. The first refusal of an episode
// is logged, and so is its end, once the count has fallen a tenth below the
// cap (at least one), so that a flood, even one that keeps opening and
// closing connections at the cap, costs two log lines.
//
// Failed logins: unless policy.throttleLogins is off, the FAILURE replies to
// an address that keeps failing are held back as LoginThrottle decides; the
// session waits with its reply (ClientSession::RefuseLoginAt).
class ClientServer final : public CommandListener
{
public:
    // Starts listening at once; throws boost::system::system_error when the
    // address is not numeric or the socket cannot be opened, bound or listen.
    // Raises the process's soft descriptor limit to its hard limit, and caps
    // the sessions lower (with a log line) when even that leaves too few
    // descriptors for policy.maxSessions sessions and the rest of the service.
    ClientServer(boost::asio::io_context& io, const std::string& address, std::uint32_t port,
                 CameraTable& cameras, UserTable& users, SessionPolicy policy = SessionPolicy());
    // Forgets the sessions (their connections stay open until their pending
    // completions are run or dropped with the loop) and closes the listener.
    ~ClientServer();
    ClientServer(const ClientServer&) = delete;
    ClientServer& operator=(const ClientServer&) = delete;

    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    // The policy in force (maxSessions as capped by the descriptor limit).
    const SessionPolicy& Policy() const { return policy; }
    // Who holds which camera, who chooses, who works with what.
    const Arbitration& Arbiter() const { return arbitration; }

    // I/O loop: the NVR side, by posting.
    // The camera's name on its NVR, sent with its CAMERA message from now on.
    void SetNvrCameraName(const std::string& cameraAddress, const std::string& name);
    // The camera's soft trigger fired: the session in choose mode gets it.
    // True when a session got it.
    bool SoftTriggerFired(const std::string& cameraAddress);
    // The camera's id on its NVR, for the operations view.
    void SetNvrCameraId(const std::string& cameraAddress, std::uint32_t id);

    // I/O loop: the operations view (OperationsReport.cpp).
    // Where logins, control changes, refusals, handovers and session ends
    // are recorded; null (the default) for nowhere.
    void SetAuditTrail(AuditTrail* trail) { audit = trail; }
    // The cameras in Pelco order with their holders, the sessions and the
    // counters, as they stand at `now`.
    void FillStatus(StatusSnapshot& status, Arbitration::Clock::time_point now) const;
    // A LOGIN was answered: passed or not, with the name as the client sent it.
    void LoginAnswered(const ClientSession& session, const std::string& name, bool passed);

    // I/O loop: the operator messages.
    std::string CameraForPelco(unsigned pelcoAddress) const;
    bool CheckLogin(const std::string& name, const std::string& password) const;
    // A LOGIN from the session failed the check: when its FAILURE may be
    // sent, none when at once.
    std::optional<Arbitration::Clock::time_point>
    FailedLoginReplyTime(const ClientSession& session);
    // A LOGIN from the session passed: its address is no longer throttled.
    void LoginPassed(const ClientSession& session);
    std::int32_t PriorityOf(const std::string& name) const;
    // CHOOSE: the session enters choose mode when nobody is in it.
    void EnterChooseMode(std::uint16_t sessionId);
    // CANCEL: the session leaves choose mode if it is in it.
    void LeaveChooseMode(std::uint16_t sessionId);
    // A camera command from the session, addressed by its second byte: false
    // when no camera has that Pelco address.
    bool SteerCamera(ClientSession& session, unsigned pelcoAddress, const char* bytes,
                     std::size_t count);
    void SelectCamera(const std::string& cameraAddress, bool causedByCommand);
    // The priority test, and the bytes to the camera when it passes.
    void SubmitCommand(const std::string& cameraAddress, std::uint16_t sessionId,
                       std::int32_t priority, const char* bytes, std::size_t count);
    // The control notices for the sessions working with the camera, without
    // changing its hold.
    void AnnounceControl(const std::string& cameraAddress, std::uint16_t holderSession);
    void AnnounceRelease(const std::string& cameraAddress);
    // A command has been written to the camera: its sender holds it.
    void CommandWritten(const std::string& cameraAddress, std::uint16_t sessionId,
                        std::int32_t priority) override;

    // I/O loop: used by the sessions.
    // A started session logged in (or again, as someone else).
    void SessionLoggedIn(const ClientSession& session);
    // Takes the session out of the registry and out of arbitration, if it
    // is still there.
    void RemoveSession(ClientSession& session);
    // A started session has ended: it no longer counts against the cap.
    void OnSessionEnded();
    // Keepalive could not be turned on for a session: logged once a run.
    void KeepAliveFailed(const std::error_code& error);
    // The registered session of that number, null when there is none.
    std::shared_ptr<ClientSession> FindSession(std::uint16_t sessionId) const;
    // Wraps a completion handler so that it does nothing once the server is gone.
    template <typename Handler>
    auto Guard(Handler handler) const
    {
        return lifetime.Guard(std::move(handler));
    }

private:
    void StartAccept();
    void OnAccepted(const std::shared_ptr<ClientSession>& session,
                    const boost::system::error_code& error);
    void Refuse(ClientSession& session);

    // Carrying out the decisions.
    void Forward(Arbitration::CameraIndex camera, std::uint16_t sessionId, std::int32_t priority,
                 const char* bytes, std::size_t count);
    void Delivered(Arbitration::CameraIndex camera, std::uint16_t sessionId, std::int32_t priority);
    void Deliver(const Arbitration::Selection& selection);
    void Deliver(const Arbitration::Announcement& announcement);
    void FollowHoldDeadline(Arbitration::Clock::time_point deadline);
    void OnHoldTimer(std::uint64_t wait, const boost::system::error_code& error);

    // The audit trail's records (OperationsReport.cpp); each does nothing
    // without a trail.
    void AuditControl(Arbitration::CameraIndex camera, std::uint16_t sessionId,
                      std::int32_t priority);
    void AuditReleases(Arbitration::Clock::time_point now);
    void AuditRefusal(Arbitration::CameraIndex camera, std::uint16_t sessionId,
                      std::int32_t priority);
    void AuditHandover(Arbitration::CameraIndex camera, Arbitration::ConnectionId to);
    void AuditSessionEnd(const ClientSession& session);
    AuditRecord CameraRecord(const char* event, Arbitration::CameraIndex camera,
                             std::uint16_t sessionId, std::int32_t priority) const;
    // A change of holder or a lapse: the camera's refusals may be recorded anew.
    void ForgetRefusals(Arbitration::CameraIndex camera);
    // The user name of the registered session with that number, none when
    // it is not registered or never logged in.
    std::optional<std::string> UserOf(std::uint16_t sessionId) const;

    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    // Paces accepting while the process is out of descriptors or memory.
    boost::asio::steady_timer acceptPause;
    UserTable& users;
    SessionPolicy policy;
    std::size_t liveSessions = 0; // started and not yet ended
    bool refusing = false;        // in an episode of refused connections
    std::uint64_t refusedInEpisode = 0;
    bool keepAliveFailureLogged = false;
    LoginThrottle loginThrottle;

    Arbitration arbitration;
    // The cameras by Arbitration::CameraIndex (table order).
    std::vector<TrackCamera*> cameraList;
    // The started sessions by Arbitration::ConnectionId.
    std::vector<std::weak_ptr<ClientSession>> connections;
    // Ends the holds. Its one wait runs until the earliest deadline known when
    // it began; a command delivered meanwhile only moves a deadline on, and
    // the wait, once over, follows the next one rather than being cancelled
    // and restarted for every command.
    boost::asio::steady_timer holdTimer;
    bool holdWaitPending = false;
    Arbitration::Clock::time_point holdWaitExpiry{};
    std::uint64_t holdWaitsStarted = 0;

    // The operations view's figures; the cameras count how their commands ended.
    std::vector<std::uint64_t> refusedCommands; // by Arbitration::CameraIndex
    std::vector<std::optional<std::uint32_t>> nvrCameraIds;
    OperatorCounters counters;
    AuditTrail* audit = nullptr;
    // The refusals recorded: (session, camera) to the holder that refused
    // them, so that a held joystick is recorded once per holder. A change of
    // holder or a lapse forgets the camera's entries.
    std::map<std::pair<std::uint16_t, Arbitration::CameraIndex>, std::uint16_t> refusalsAudited;

    Lifetime lifetime;
};

} // namespace korvel
