#pragma once

// One library session (one handle): its connection to the NVR, the events
// waiting for the next TLAPI_Select and the callback they go to.
//
// Every operation takes the session's mutex for its whole length, including
// the bounded waits on the socket, so concurrent calls on one handle are
// serialised. The callback is called without that mutex held, so it may call
// back into the library, even for its own handle.

#include "tlapi/Codec.h"
#include "tlapi/Connection.h"
#include "tlapi/tlapi.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace tlapi {

struct Reply
{
    uint32_t status = 0;
    Bytes results; // what follows the status; empty unless status is Ok
};

class Session
{
public:
    // Longest the library waits for the NVR in one call, whatever
    // TLAPI_SetTimeout asks for: a silent NVR must not hold a caller longer.
    static constexpr int MaxTimeoutSeconds = 5;
    // Undelivered events a session keeps; an NVR that sends more while the
    // caller does not select is treated as faulty.
    static constexpr std::size_t MaxQueuedEvents = 4096;

    void SetCallback(TLAPI_CALLBACK callback, void* context);
    int Open(const std::string& address, int port);
    void SetTimeout(int seconds);
    int Select(int milliseconds);
    int Login(const std::string& user, const std::string& password);
    int GetSocket();
    void Close();
    std::string LastError();

    // Sends a request and waits for its reply. False when the connection is
    // missing or failed on the way (it is then closed); the reply's status
    // tells whether the NVR refused the request.
    bool Call(Operation operation, const PayloadWriter& request, Reply& reply);
    // Closes the connection after a reply whose results could not be read.
    void Abandon(const std::string& reason);

private:
    struct QueuedEvent
    {
        uint16_t type = 0;
        uint32_t code = 0;
        TLAPI_EVENT_RECORD record{};
    };

    uint32_t NextTag();
    Deadline CallDeadline() const;
    bool SendFrame(Operation operation, uint32_t tag, const PayloadWriter& payload,
                   Deadline deadline);
    // Reads until the reply with this tag arrives; events met on the way are queued.
    bool AwaitReply(Operation operation, uint32_t tag, Deadline deadline, Reply& reply);
    // Reads once (waiting until the deadline) and handles complete frames;
    // false when the connection failed.
    bool Pump(Deadline deadline, bool& received);
    bool HandleFrame(const Frame& frame);
    void QueueEvent(uint16_t type, uint32_t code, const TLAPI_EVENT_RECORD& record);
    void Fail(const std::string& reason);
    void Reset();

    std::mutex mutex;
    TLAPI_CALLBACK callback = nullptr;
    void* context = nullptr;
    std::chrono::seconds timeout{MaxTimeoutSeconds};
    Connection connection;
    bool live = false;
    FrameDecoder decoder;
    Bytes receiveBuffer;
    std::deque<QueuedEvent> events;
    uint32_t nextTag = 1;
    // Reply being awaited (tag 0: none) and the reply once it came.
    uint32_t awaitedTag = 0;
    uint16_t awaitedOperation = 0;
    bool replyArrived = false;
    Reply awaitedReply;
    std::string lastError;
};

} // namespace tlapi
