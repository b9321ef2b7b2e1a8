#pragma once

// One client connection to the simulated NVR: reads frames, answers them,
// and writes replies and events through a queue with one write in flight.

#include "RequestHandler.h"

#include "tlapi/Codec.h"

#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <deque>
#include <memory>
#include <string>

namespace nvrsim {

class SimServer;

class ClientSession : public std::enable_shared_from_this<ClientSession>
{
public:
    // Bytes a session may have waiting to be written; a client that reads
    // slower than that is disconnected.
    static constexpr std::size_t MaxQueuedBytes = 4 * 1024 * 1024;

    ClientSession(boost::asio::ip::tcp::socket socket, unsigned id, SimServer& server);

    void Start();
    // Closes the connection; the server forgets the session.
    void Stop(const std::string& reason);
    void SendEvent(const PendingEvent& event);
    // Logs the session out with event 71 code 6; false when it was not logged in.
    bool Revoke();
    // Answers the requests held back since the server's hold came, in order,
    // and the later ones as they come; false when none was held.
    bool Release();

    unsigned Id() const { return id; }
    bool LoggedIn() const { return state.loggedIn; }
    const std::string& User() const { return state.user; }
    const std::string& Peer() const { return peer; }

private:
    struct Outgoing
    {
        tlapi::Bytes bytes;
        std::string sent; // for the request log once written; empty: nothing
    };

    void ReadMore();
    // Handles the frame, or holds it back while the server holds this session.
    void Take(tlapi::Frame frame);
    void HandleFrame(const tlapi::Frame& frame);
    void Queue(tlapi::Bytes bytes, std::string sent = std::string());
    void WriteNext();

    boost::asio::ip::tcp::socket socket;
    unsigned id;
    SimServer& server;
    std::string peer;
    SessionState state;
    tlapi::FrameDecoder decoder;
    std::array<uint8_t, 16384> readBuffer{};
    std::deque<Outgoing> writeQueue;
    std::size_t queuedBytes = 0;
    bool held = false;
    std::deque<tlapi::Frame> heldFrames;
    std::size_t heldBytes = 0;
    uint32_t eventSequence = 0;
    bool closeWhenWritten = false;
    bool stopped = false;
};

} // namespace nvrsim
