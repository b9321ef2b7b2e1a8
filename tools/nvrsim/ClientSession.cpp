#include "ClientSession.h"

#include "SimServer.h"

#include "tlapi/tlapi.h"

#include <boost/asio/write.hpp>

namespace nvrsim {

using boost::asio::ip::tcp;

namespace {

std::string Describe(const tcp::endpoint& endpoint)
{
    const std::string address = endpoint.address().to_string();
    const std::string host = endpoint.address().is_v6() ? "[" + address + "]" : address;
    return host + ":" + std::to_string(endpoint.port());
}

} // namespace

ClientSession::ClientSession(tcp::socket socket, unsigned id, SimServer& server)
    : socket(std::move(socket)), id(id), server(server)
{
    boost::system::error_code error;
    const tcp::endpoint remote = this->socket.remote_endpoint(error);
    peer = error ? "?" : Describe(remote);
}

void ClientSession::Start()
{
    server.Log("session " + std::to_string(id) + " opened from " + peer);
    ReadMore();
}

void ClientSession::Stop(const std::string& reason)
{
    if (stopped)
        return;
    stopped = true;
    server.Log("session " + std::to_string(id) + " closed: " + reason,
               reason != "dropped" && reason != "client left");
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    server.Forget(id);
}

void ClientSession::ReadMore()
{
    auto self = shared_from_this();
    socket.async_read_some(boost::asio::buffer(readBuffer),
                           [this, self](const boost::system::error_code& error, std::size_t count) {
                               if (stopped)
                                   return;
                               if (error) {
                                   Stop(error == boost::asio::error::eof ? "client left"
                                                                         : error.message());
                                   return;
                               }
                               if (closeWhenWritten)
                                   return;
                               decoder.Append(readBuffer.data(), count);
                               tlapi::Frame frame;
                               std::string problem;
                               for (;;) {
                                   const auto result = decoder.Next(frame, problem);
                                   if (result == tlapi::FrameDecoder::Result::Error) {
                                       Stop("bad data: " + problem);
                                       return;
                                   }
                                   if (result == tlapi::FrameDecoder::Result::NeedMore)
                                       break;
                                   Take(std::move(frame));
                                   if (stopped || closeWhenWritten)
                                       return;
                               }
                               ReadMore();
                           });
}

void ClientSession::Take(tlapi::Frame frame)
{
    if (!held && frame.type == tlapi::FrameType::Request && server.TakeHold(frame.code)) {
        held = true;
        server.Log("session " + std::to_string(id) + " " + tlapi::OperationName(frame.code) +
                   " held");
    }
    if (!held) {
        HandleFrame(frame);
        return;
    }
    heldBytes += frame.payload.size() + tlapi::FrameHeaderSize;
    if (heldBytes > MaxQueuedBytes) {
        Stop("client sends too much while held");
        return;
    }
    heldFrames.push_back(std::move(frame));
}

bool ClientSession::Release()
{
    if (!held)
        return false;
    held = false;
    auto self = shared_from_this(); // a request may end the session
    while (!heldFrames.empty() && !stopped && !closeWhenWritten) {
        const tlapi::Frame frame = std::move(heldFrames.front());
        heldFrames.pop_front();
        HandleFrame(frame);
    }
    heldFrames.clear();
    heldBytes = 0;
    return true;
}

bool ClientSession::Revoke()
{
    if (!state.loggedIn)
        return false;
    state.loggedIn = false;
    state.user.clear();
    PendingEvent event;
    event.type = TLAPI_EVENT_LOGIN;
    event.data.code = TLAPI_LOGIN_REFUSED;
    SendEvent(event);
    return true;
}

void ClientSession::HandleFrame(const tlapi::Frame& frame)
{
    if (frame.type != tlapi::FrameType::Request) {
        Stop("bad data: a client sends requests only");
        return;
    }
    const Outcome outcome = server.Handler().Handle(state, frame);
    server.Log("session " + std::to_string(id) + " " + tlapi::OperationName(frame.code) + " -> " +
               tlapi::StatusName(static_cast<uint32_t>(outcome.status)) +
               (outcome.note.empty() ? "" : " " + outcome.note));
    if (outcome.sendReply) {
        tlapi::PayloadWriter payload;
        payload.U32(static_cast<uint32_t>(outcome.status));
        tlapi::Bytes body = payload.Data();
        body.insert(body.end(), outcome.results.begin(), outcome.results.end());
        Queue(tlapi::EncodeFrame(tlapi::FrameType::Reply, frame.code, frame.tag, body));
    }
    for (const PendingEvent& event : outcome.events)
        SendEvent(event);
    if (outcome.close && !stopped) {
        closeWhenWritten = true;
        if (writeQueue.empty())
            Stop("closed after a refused request");
    }
}

void ClientSession::SendEvent(const PendingEvent& event)
{
    tlapi::PayloadWriter payload;
    tlapi::WriteEvent(payload, event.data);
    Queue(tlapi::EncodeFrame(tlapi::FrameType::Event, event.type, ++eventSequence, payload.Data()),
          "event " + std::to_string(event.type) + " code " + std::to_string(event.data.code));
}

void ClientSession::Queue(tlapi::Bytes bytes, std::string sent)
{
    if (stopped)
        return;
    queuedBytes += bytes.size();
    if (queuedBytes > MaxQueuedBytes) {
        Stop("client does not read its replies");
        return;
    }
    writeQueue.push_back({std::move(bytes), std::move(sent)});
    if (writeQueue.size() == 1)
        WriteNext();
}

void ClientSession::WriteNext()
{
    auto self = shared_from_this();
    boost::asio::async_write(socket, boost::asio::buffer(writeQueue.front().bytes),
                             [this, self](const boost::system::error_code& error, std::size_t) {
                                 if (stopped)
                                     return;
                                 if (error) {
                                     Stop(error.message());
                                     return;
                                 }
                                 queuedBytes -= writeQueue.front().bytes.size();
                                 // Logged once written: the event is then on
                                 // its way, whoever reads the log may count on it.
                                 if (!writeQueue.front().sent.empty())
                                     server.Log("session " + std::to_string(id) + " sent " +
                                                writeQueue.front().sent);
                                 writeQueue.pop_front();
                                 if (!writeQueue.empty())
                                     WriteNext();
                                 else if (closeWhenWritten)
                                     Stop("closed after a refused request");
                             });
}

} // namespace nvrsim
