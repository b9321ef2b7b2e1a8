#pragma once

#include "camera/CameraTable.h"
#include "camera/HoldListener.h"
#include "camera/Lifetime.h"
#include "client/SessionPolicy.h"
#include "client/ClientSession.h"
#include "client/UserAccount.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

class TrackCamera;

// The operator client service: the listener, the session registry, the
// chooser slot and the arbitration of camera control.
//
// Threads: everything runs on the I/O loop thread, except the NVR-side
// accessors (CameraIdDiffers ... SetCameraName) and PostSelectCamera, which
// NVR threads call; the camera table itself is never changed after loading.
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
class ClientServer final : public HoldListener
{
public:
    // Starts listening at once; throws boost::system::system_error when the
    // address is not numeric or the socket cannot be opened, bound or listen.
    // Raises the process's soft descriptor limit to its hard limit, and caps
    // the sessions lower (with a log line) when even that leaves too few
    // descriptors for policy.maxSessions sessions and the rest of the service.
    ClientServer(boost::asio::io_context& io, const std::string& address, std::uint32_t port,
                 CameraTable& cameras, UserTable& users, SessionPolicy policy = SessionPolicy());
    // Stops the I/O loop, forgets the sessions (their connections stay open
    // until the loop goes) and closes the listener.
    ~ClientServer();
    ClientServer(const ClientServer&) = delete;
    ClientServer& operator=(const ClientServer&) = delete;

    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    // The policy in force (maxSessions as capped by the descriptor limit).
    const SessionPolicy& Policy() const { return policy; }

    // I/O loop.
    std::string CameraForPelco(unsigned pelcoAddress) const;
    bool CheckLogin(const std::string& name, const std::string& password) const;
    std::int32_t PriorityOf(const std::string& name) const;
    void SelectCamera(const std::string& cameraAddress, bool causedByCommand);
    void SubmitCommand(const std::string& cameraAddress, std::uint16_t sessionId,
                       std::int32_t priority, const char* bytes, std::size_t count);
    // The same, for a camera already at hand.
    void SubmitCommand(TrackCamera& camera, std::uint16_t sessionId, std::int32_t priority,
                       const char* bytes, std::size_t count);
    void AnnounceControl(const std::string& cameraAddress, std::uint16_t holderSession) override;
    void AnnounceRelease(const std::string& cameraAddress) override;

    // I/O loop: used by the sessions and the command handling.
    TrackCamera* FindCameraByPelco(unsigned pelcoAddress) const;
    // CHOOSE: the session enters choose mode when nobody is in it.
    void EnterChooseMode(std::uint16_t sessionId);
    // CANCEL: the session leaves choose mode if it is in it.
    void LeaveChooseMode(std::uint16_t sessionId);
    // A command for another camera: the session takes the slot whoever held it.
    void TakeChooserSlot(std::uint16_t sessionId) { chooserSlot = sessionId; }
    // Erases the registry entry of that number if it is still this session's
    // (a later connection with the same number may have replaced it).
    void RemoveSession(std::uint16_t sessionId, const ClientSession* session);
    // A started session has ended: it no longer counts against the cap.
    void OnSessionEnded();
    // The registered session of that number, null when there is none.
    std::shared_ptr<ClientSession> FindSession(std::uint16_t sessionId) const;
    // Wraps a completion handler so that it does nothing once the server is gone.
    template <typename Handler> auto Guard(Handler handler) const
    {
        return lifetime.Guard(std::move(handler));
    }

    // Any thread (NVR workers).
    bool CameraIdDiffers(const std::string& key, std::uint32_t id) const;
    void SetCameraId(const std::string& key, std::uint32_t id);
    bool CameraNameDiffers(const std::string& key, const std::string& name) const;
    void SetCameraName(const std::string& key, const std::string& name);
    // Runs SelectCamera(cameraAddress, false) on the I/O loop.
    void PostSelectCamera(const std::string& cameraAddress);

private:
    void StartAccept();
    void OnAccepted(const std::shared_ptr<ClientSession>& session,
                    const boost::system::error_code& error);
    void Refuse(ClientSession& session);
    // Makes the camera the session's current one, in the session and in the
    // index of the camera's watchers.
    void Watch(const std::shared_ptr<ClientSession>& session, const std::string& cameraAddress);
    // Takes a session that leaves the registry out of that index.
    void Unwatch(const ClientSession& session);
    const Notification& HasControlText(const std::string& userName);

    boost::asio::io_context& io;
    boost::asio::ip::tcp::acceptor acceptor;
    // Paces accepting while the process is out of descriptors or memory.
    boost::asio::steady_timer acceptPause;
    using SessionRegistry = std::map<std::uint16_t, std::weak_ptr<ClientSession>>;
    SessionRegistry sessions;
    // The registered sessions working with each camera, by camera address:
    // what a control announcement visits, instead of the whole registry.
    std::map<std::string, SessionRegistry> watchers;
    CameraTable& cameras;
    UserTable& users;
    std::uint16_t chooserSlot = 0;
    SessionPolicy policy;
    std::size_t liveSessions = 0; // started and not yet ended
    bool refusing = false;        // in an episode of refused connections
    std::uint64_t refusedInEpisode = 0;
    // The first camera in table order for every Pelco address.
    std::array<TrackCamera*, 256> cameraByPelco{};
    // "<name> has control" for every user name a session can have, made
    // once: a stream of commands announces without composing a text each time.
    std::map<std::string, Notification> hasControlTexts;
    Lifetime lifetime;
};
