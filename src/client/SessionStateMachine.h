#pragma once

#include "client/Notification.h"
#include "clock/TimeSource.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace korvel {

// What an operator session tells its registry.
struct SessionReport
{
    enum class Kind
    {
        Message,   // the client sent `bytes`: one receive, valid during the call
        AnswerDue, // the answer held back for `name` is due now
        Ended,     // the connection is closed and the session does nothing more
    };
    Kind kind = Kind::Message;
    const char* bytes = nullptr;
    std::size_t count = 0;
    std::string name;
};

// The registry's answer to a message, or to an answer that fell due.
struct SessionAnswer
{
    enum class Kind
    {
        None,     // nothing to answer: the session reads on
        Reply,    // write `text`; the session reads on once it has been written
        HoldBack, // the answer comes later: AnswerDue at `due` (or, without
                  // one, the registry's own SessionHandle::Answer)
    };
    Kind kind = Kind::None;
    Notification text;
    std::optional<TimeSource::TimePoint> due;
    std::string name; // reported back with AnswerDue
    // A LOGIN passed as this user: the session's login deadline ends, and
    // its lines name the user from now on.
    std::optional<std::string> loggedInAs;
};

enum class SessionState
{
    Greeting,       // the greeting is on its way; nothing is read yet
    Reading,        // a receive is under way, or a message is being handled
    Replying,       // a reply is on its way; the next message waits for it
    AnswerHeldBack, // the answer to the last message comes later; one more
                    // message may be read meanwhile, handled after the answer
    Ended,
};

// What the transport does next, in this order.
struct SessionActions
{
    std::string logLine; // empty: nothing to log
    // Close the connection and cancel both deadlines; once this turn is over,
    // report Ended to the registry.
    bool end = false;
    // Write the front of the outbox (SessionStateMachine::Front), from where
    // the transport left it; Written or WriteFailed follows. `atOnce`: offer
    // it to the socket first, without waiting (a notice on an idle
    // connection), and write asynchronously only what the socket did not take.
    bool write = false;
    bool atOnce = false;
    std::optional<SessionReport> report; // tell the registry, then Answered
    enum class Receive
    {
        None,
        Now,          // try a receive at once: data may be waiting already
        WhenReadable, // the last receive emptied the socket: wait until it is readable
        LaterTurn,    // the last receive filled the buffer: try again after the
                      // other sessions' handlers
    };
    Receive receive = Receive::None;
    std::optional<TimeSource::TimePoint> loginDeadline; // arm it
    std::optional<TimeSource::TimePoint> answerDeadline; // arm it
    bool cancelAnswerDeadline = false;
    bool cancelLoginDeadline = false;
};

// The states of one operator connection and every rule of how they change;
// the transport (ClientSession: the socket, its receive buffer and two
// deadlines) carries out what each event returns and reports back. No I/O.
//
//   Greeting        the greeting written: Reading
//   Reading         a receive: the message goes to the registry, whose
//                   answer makes the state Replying, AnswerHeldBack, or
//                   leaves it Reading (the next receive starts; after a full
//                   buffer, on a later turn)
//   Replying        the reply written: Reading (a message read while the
//                   answer was held back goes to the registry first)
//
// One receive at a time: the one started while an answer was held back
// stays under way through the answer, and what it reads waits its turn.
//   AnswerHeldBack  the deadline, or the registry's own answer: Replying
//   any             a failed receive, a failed reply, a full outbox, the
//                   login deadline, a revocation, the service's stop: Ended
//
// Replies and notices share one outbox in the order they were given, with at
// most one write in flight; the session reads nothing while a reply is on its
// way, so replies keep the order of the messages they answer and a client
// that does not read its replies stops being read. A failed notice write does
// not end the session (its receive fails in turn if the client has gone): it
// drops the notices queued and those still to come, but not a reply. More than
// MaxQueuedBytes of notices end the session. Everything after Ended is
// ignored; the write in flight then still uses the front entry.
//
// Lines: "Lost session with KorvelControl user <name> at <address>" when the
// session ends for its client's fault (a reply it did not take, a full outbox,
// the login deadline) or is revoked; "Error sending data to client at
// <address>: <reason>" for a failed notice. A client that closes logs nothing.
class SessionStateMachine
{
public:
    static constexpr std::size_t BufferSize = 1024;
    static constexpr std::size_t MaxQueuedBytes = 1024 * 1024;

    enum class Deadline
    {
        Login,
        Answer,
    };

    SessionState State() const { return state; }
    // The entry the transport writes; only while a write is asked for or in flight.
    const std::string& Front() const { return *outbox.front().text; }

    // The connection accepted: greets it; with a login deadline, the session
    // ends unless a LOGIN has passed by then.
    SessionActions Start(std::uint16_t number, std::string clientAddress,
                         std::optional<TimeSource::TimePoint> loginDeadline);
    SessionActions Received(const char* bytes, std::size_t count);
    // The registry's answer to the report that the last actions carried.
    SessionActions Answered(const SessionAnswer& answer);
    // The registry's own answer to a message whose answer it held back
    // without a deadline; nothing unless one is held back.
    SessionActions AnswerCame(const SessionAnswer& answer);
    SessionActions ReceiveFailed();
    SessionActions Written();
    SessionActions WriteFailed(const std::string& reason);
    SessionActions DeadlineReached(Deadline deadline);
    // The registry: its user may no longer steer.
    SessionActions Revoked();
    // The service stops: the session ends without a line.
    SessionActions Stopped();
    // The control service: a notice after those before it.
    SessionActions Notice(Notification text);

private:
    struct Entry
    {
        Notification text;
        bool reply = false;
    };

    SessionActions Queue(Notification text, bool reply);
    // A message read while the answer was held back goes to the registry
    // first; else the next receive.
    SessionActions ReadOn(SessionActions::Receive receive);
    void End(SessionActions& actions, bool lost);

    SessionState state = SessionState::Greeting;
    std::uint16_t number = 0;
    std::string clientAddress;
    std::string userName; // empty until a LOGIN passes
    std::deque<Entry> outbox;
    bool writing = false;
    std::size_t queuedBytes = 0; // notice bytes in the outbox
    bool noticesOff = false;      // a notice write failed
    bool loginPending = false;    // the login deadline is armed
    bool lastReceiveFull = false;
    bool receiving = false; // a receive is under way: never two at once
    // A message read while the answer was held back, and the name the answer
    // is held back for.
    std::optional<std::string> waitingMessage;
    std::optional<std::string> handling; // such a message while it is reported
    std::string heldBackName;
};

} // namespace korvel
