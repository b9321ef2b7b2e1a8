#include "tlapi/Session.h"

#include "tlapi/Records.h"

#include <algorithm>

namespace tlapi {
namespace {

// Events handed to the callback by one TLAPI_Select at most; the rest wait
// for the next call, so a chatty NVR cannot keep a caller inside.
constexpr std::size_t MaxEventsPerSelect = 256;

// A deadline already passed: collect what has arrived without waiting.
const Deadline Immediately{};

TLAPI_EVENT_RECORD BlankRecord()
{
    TLAPI_EVENT_RECORD record{};
    record.size = sizeof record;
    return record;
}

} // namespace

void Session::SetCallback(TLAPI_CALLBACK newCallback, void* newContext)
{
    std::lock_guard<std::mutex> lock(mutex);
    callback = newCallback;
    context = newContext;
}

void Session::SetTimeout(int seconds)
{
    std::lock_guard<std::mutex> lock(mutex);
    timeout = std::chrono::seconds(std::clamp(seconds, 1, MaxTimeoutSeconds));
}

std::string Session::LastError()
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastError;
}

uint32_t Session::NextTag()
{
    const uint32_t tag = nextTag++;
    if (nextTag == 0)
        nextTag = 1;
    return tag;
}

Deadline Session::CallDeadline() const
{
    return Now() + timeout;
}

int Session::Open(const std::string& address, int port)
{
    std::lock_guard<std::mutex> lock(mutex);
    Reset();
    const Deadline deadline = CallDeadline();
    std::string error;
    if (!connection.Connect(address, port, deadline, error)) {
        lastError = "cannot connect to " + address + ":" + std::to_string(port) + ": " + error;
        return -1;
    }
    live = true;

    PayloadWriter hello;
    hello.U32(ProtocolMagic).U16(ProtocolVersion);
    const uint32_t tag = NextTag();
    Reply reply;
    if (!SendFrame(Operation::Hello, tag, hello, deadline) ||
        !AwaitReply(Operation::Hello, tag, deadline, reply))
        return -1;
    if (reply.status != static_cast<uint32_t>(Status::Ok)) {
        Fail(std::string("the NVR refused the greeting: ") + StatusName(reply.status));
        return -1;
    }
    PayloadReader greeting(reply.results);
    const uint32_t magic = greeting.U32();
    const uint16_t version = greeting.U16();
    if (!greeting.Ok() || magic != ProtocolMagic || version != ProtocolVersion) {
        Fail("the peer does not speak protocol version " + std::to_string(ProtocolVersion));
        return -1;
    }
    lastError.clear();
    QueueEvent(TLAPI_EVENT_OPENED, 0, BlankRecord());
    return 0;
}

int Session::Select(int milliseconds)
{
    std::deque<QueuedEvent> batch;
    TLAPI_CALLBACK target = nullptr;
    void* targetContext = nullptr;
    bool stillLive = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const Deadline deadline =
            Now() + std::chrono::milliseconds(std::max(milliseconds, 0));
        // With events already waiting, only collect what has arrived as well.
        Deadline wait = events.empty() ? deadline : Immediately;
        while (live && events.size() < MaxEventsPerSelect) {
            bool received = false;
            if (!Pump(wait, received) || !received || Now() >= deadline)
                break;
            if (!events.empty())
                wait = Immediately;
        }
        const std::size_t count = std::min(events.size(), MaxEventsPerSelect);
        batch.insert(batch.end(), events.begin(),
                     events.begin() + static_cast<std::ptrdiff_t>(count));
        events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(count));
        target = callback;
        targetContext = context;
        stillLive = live;
    }
    if (target) {
        for (const QueuedEvent& event : batch)
            target(event.type, static_cast<int>(event.code), &event.record,
                   static_cast<int>(sizeof event.record), targetContext);
    }
    return stillLive ? static_cast<int>(batch.size()) : -1;
}

int Session::Login(const std::string& user, const std::string& password)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!live) {
        if (lastError.empty())
            lastError = "not connected";
        return -1;
    }
    PayloadWriter request;
    request.Text(user).Text(password);
    return SendFrame(Operation::Login, NextTag(), request, CallDeadline()) ? 0 : -1;
}

int Session::GetSocket()
{
    std::lock_guard<std::mutex> lock(mutex);
    // Take in what has already arrived, so a connection the NVR has closed is
    // reported as gone without waiting for the next call.
    bool received = true;
    for (int round = 0; live && received && round < 16; ++round)
        if (!Pump(Immediately, received))
            break;
    return live ? connection.Socket() : -1;
}

void Session::Close()
{
    std::lock_guard<std::mutex> lock(mutex);
    Reset();
}

bool Session::Call(Operation operation, const PayloadWriter& request, Reply& reply)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!live) {
        if (lastError.empty())
            lastError = "not connected";
        return false;
    }
    const Deadline deadline = CallDeadline();
    const uint32_t tag = NextTag();
    return SendFrame(operation, tag, request, deadline) &&
           AwaitReply(operation, tag, deadline, reply);
}

void Session::Abandon(const std::string& reason)
{
    std::lock_guard<std::mutex> lock(mutex);
    Fail(reason);
}

bool Session::SendFrame(Operation operation, uint32_t tag, const PayloadWriter& payload,
                        Deadline deadline)
{
    if (FrameHeaderSize + payload.Data().size() > MaxFrameBody) {
        lastError = std::string("request ") + OperationName(static_cast<uint16_t>(operation)) +
                    " is too large to send";
        return false;
    }
    std::string error;
    const Bytes frame =
        EncodeFrame(FrameType::Request, static_cast<uint16_t>(operation), tag, payload.Data());
    if (!connection.Send(frame, deadline, error)) {
        Fail(error);
        return false;
    }
    return true;
}

bool Session::AwaitReply(Operation operation, uint32_t tag, Deadline deadline, Reply& reply)
{
    awaitedTag = tag;
    awaitedOperation = static_cast<uint16_t>(operation);
    replyArrived = false;
    while (!replyArrived) {
        bool received = false;
        if (!Pump(deadline, received))
            return false;
        if (!replyArrived && Now() >= deadline) {
            Fail(std::string("no reply to ") + OperationName(awaitedOperation) + " within " +
                 std::to_string(timeout.count()) + " s");
            return false;
        }
    }
    reply = std::move(awaitedReply);
    awaitedReply = Reply();
    awaitedTag = 0;
    return true;
}

bool Session::Pump(Deadline deadline, bool& received)
{
    received = false;
    std::string error;
    receiveBuffer.clear();
    switch (connection.Receive(receiveBuffer, deadline, error)) {
    case Connection::ReadResult::Timeout:
        return true;
    case Connection::ReadResult::Closed:
    case Connection::ReadResult::Failed:
        Fail(error);
        return false;
    case Connection::ReadResult::Data:
        break;
    }
    received = true;
    decoder.Append(receiveBuffer.data(), receiveBuffer.size());
    Frame frame;
    for (;;) {
        switch (decoder.Next(frame, error)) {
        case FrameDecoder::Result::NeedMore:
            return true;
        case FrameDecoder::Result::Error:
            Fail("bad data from the NVR: " + error);
            return false;
        case FrameDecoder::Result::Frame:
            if (!HandleFrame(frame))
                return false;
            break;
        }
    }
}

bool Session::HandleFrame(const Frame& frame)
{
    switch (frame.type) {
    case FrameType::Event: {
        PayloadReader reader(frame.payload);
        EventData event;
        if (!ReadEvent(reader, event)) {
            Fail("bad data from the NVR: short event " + std::to_string(frame.code));
            return false;
        }
        TLAPI_EVENT_RECORD record = BlankRecord();
        record.sequence = frame.tag;
        record.category = event.category;
        record.confirmed = event.confirmed;
        record.objectId = event.objectId;
        record.detail = event.detail;
        QueueEvent(frame.code, event.code, record);
        return live;
    }
    case FrameType::Reply: {
        if (awaitedTag == 0 || frame.tag != awaitedTag || frame.code != awaitedOperation ||
            replyArrived) {
            Fail("bad data from the NVR: unexpected reply to " +
                 std::string(OperationName(frame.code)));
            return false;
        }
        PayloadReader reader(frame.payload);
        awaitedReply.status = reader.U32();
        if (!reader.Ok()) {
            Fail("bad data from the NVR: reply without status");
            return false;
        }
        awaitedReply.results.assign(frame.payload.begin() + 4, frame.payload.end());
        replyArrived = true;
        return true;
    }
    case FrameType::Request:
        break;
    }
    Fail("bad data from the NVR: unexpected request");
    return false;
}

void Session::QueueEvent(uint16_t type, uint32_t code, const TLAPI_EVENT_RECORD& record)
{
    // One pending "refresh due" says all that several would.
    if (type == TLAPI_EVENT_REFRESH_DUE) {
        for (const QueuedEvent& queued : events)
            if (queued.type == TLAPI_EVENT_REFRESH_DUE)
                return;
    }
    if (events.size() >= MaxQueuedEvents) {
        Fail("the NVR sent more than " + std::to_string(MaxQueuedEvents) + " undelivered events");
        return;
    }
    events.push_back(QueuedEvent{type, code, record});
}

void Session::Fail(const std::string& reason)
{
    lastError = reason;
    connection.Close();
    live = false;
    decoder.Reset();
    awaitedTag = 0;
    replyArrived = false;
}

void Session::Reset()
{
    connection.Close();
    live = false;
    decoder.Reset();
    events.clear();
    awaitedTag = 0;
    replyArrived = false;
}

} // namespace tlapi
