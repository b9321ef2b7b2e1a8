#include "client/SessionStateMachine.h"

#include "client/OperatorProtocol.h"
#include "log/LogText.h"

#include <memory>
#include <utility>

namespace korvel {

SessionActions SessionStateMachine::Start(std::uint16_t sessionNumber, std::string address,
                                          std::optional<TimeSource::TimePoint> loginDeadline)
{
    number = sessionNumber;
    clientAddress = std::move(address);
    state = SessionState::Greeting;
    loginPending = loginDeadline.has_value();
    SessionActions actions =
        Queue(std::make_shared<const std::string>(OperatorProtocol::Greeting(number)), true);
    actions.loginDeadline = loginDeadline;
    return actions;
}

SessionActions SessionStateMachine::Queue(Notification text, bool reply)
{
    SessionActions actions;
    if (!reply)
        queuedBytes += text->size();
    outbox.push_back({std::move(text), reply});
    if (!writing) {
        writing = true;
        actions.write = true;
        // A notice on an idle connection needs no trip through the loop as a
        // rule: the socket takes it at once.
        actions.atOnce = !reply;
    }
    return actions;
}

SessionActions SessionStateMachine::Notice(Notification text)
{
    if (state == SessionState::Ended || noticesOff)
        return {};
    if (queuedBytes + text->size() > MaxQueuedBytes) {
        // A client that stops reading is dropped rather than allowed to hold more.
        SessionActions actions;
        End(actions, true);
        return actions;
    }
    return Queue(std::move(text), false);
}

SessionActions SessionStateMachine::Received(const char* bytes, std::size_t count)
{
    SessionActions actions;
    receiving = false;
    lastReceiveFull = count >= BufferSize;
    if (state == SessionState::Reading) {
        actions.report = SessionReport{SessionReport::Kind::Message, bytes, count, {}};
    } else if (state != SessionState::Ended) {
        // Read while an answer was held back: its turn comes after the
        // answer, and until then nothing more is read.
        waitingMessage.emplace(bytes, count);
    }
    return actions;
}

SessionActions SessionStateMachine::Answered(const SessionAnswer& answer)
{
    handling.reset();
    if (state == SessionState::Ended)
        return {};
    SessionActions actions;
    if (answer.loggedInAs) {
        userName = *answer.loggedInAs;
        if (loginPending) {
            loginPending = false;
            actions.cancelLoginDeadline = true;
        }
    }
    switch (answer.kind) {
    case SessionAnswer::Kind::None:
        if (state == SessionState::AnswerHeldBack)
            state = SessionState::Reading;
        if (state == SessionState::Reading) {
            const SessionActions next = ReadOn(lastReceiveFull ? SessionActions::Receive::LaterTurn
                                                               : SessionActions::Receive::WhenReadable);
            actions.report = next.report;
            actions.receive = next.receive;
        }
        break;
    case SessionAnswer::Kind::Reply: {
        state = SessionState::Replying;
        const SessionActions queued = Queue(answer.text, true);
        actions.write = queued.write;
        actions.atOnce = queued.atOnce;
        break;
    }
    case SessionAnswer::Kind::HoldBack:
        state = SessionState::AnswerHeldBack;
        heldBackName = answer.name;
        actions.answerDeadline = answer.due;
        // Reading on tells when the client goes; what it sends meanwhile waits.
        if (!waitingMessage && !receiving) {
            receiving = true;
            actions.receive = SessionActions::Receive::WhenReadable;
        }
        break;
    }
    return actions;
}

SessionActions SessionStateMachine::AnswerCame(const SessionAnswer& answer)
{
    if (state != SessionState::AnswerHeldBack)
        return {};
    SessionActions actions = Answered(answer);
    actions.cancelAnswerDeadline = true;
    return actions;
}

SessionActions SessionStateMachine::ReadOn(SessionActions::Receive receive)
{
    SessionActions actions;
    if (waitingMessage) {
        handling = std::move(waitingMessage);
        waitingMessage.reset();
        actions.report =
            SessionReport{SessionReport::Kind::Message, handling->data(), handling->size(), {}};
        return actions;
    }
    // A receive started while the answer was held back is still under way.
    if (!receiving) {
        receiving = true;
        actions.receive = receive;
    }
    return actions;
}

SessionActions SessionStateMachine::ReceiveFailed()
{
    // The client went away (its held-back answer is never sent): nothing to log.
    receiving = false;
    SessionActions actions;
    if (state != SessionState::Ended)
        End(actions, false);
    return actions;
}

SessionActions SessionStateMachine::Written()
{
    if (state == SessionState::Ended || outbox.empty())
        return {};
    const Entry written = std::move(outbox.front());
    outbox.pop_front();
    writing = false;
    if (!written.reply)
        queuedBytes -= written.text->size();

    SessionActions actions;
    if (!outbox.empty()) {
        writing = true;
        actions.write = true;
    }
    if (written.reply) {
        state = SessionState::Reading;
        // Data may be waiting already, its readiness gone by while the reply
        // was on its way.
        const SessionActions next = ReadOn(SessionActions::Receive::Now);
        actions.report = next.report;
        actions.receive = next.receive;
    }
    return actions;
}

SessionActions SessionStateMachine::WriteFailed(const std::string& reason)
{
    if (state == SessionState::Ended || outbox.empty())
        return {};
    SessionActions actions;
    if (outbox.front().reply) {
        End(actions, true);
        return actions;
    }
    // The connection is broken: if the client has gone, the receive fails in
    // turn and ends the session. The notices behind, and those still to come,
    // would fail the same way; a reply keeps its place.
    actions.logLine = "Error sending data to client at " + clientAddress + ": " + reason;
    std::erase_if(outbox, [](const Entry& entry) { return !entry.reply; });
    queuedBytes = 0;
    noticesOff = true;
    writing = !outbox.empty();
    actions.write = writing;
    return actions;
}

SessionActions SessionStateMachine::DeadlineReached(Deadline deadline)
{
    SessionActions actions;
    if (state == SessionState::Ended)
        return actions;
    if (deadline == Deadline::Login) {
        if (loginPending) {
            loginPending = false;
            End(actions, true);
        }
    } else if (state == SessionState::AnswerHeldBack) {
        actions.report = SessionReport{SessionReport::Kind::AnswerDue, nullptr, 0, heldBackName};
    }
    return actions;
}

SessionActions SessionStateMachine::Revoked()
{
    SessionActions actions;
    if (state != SessionState::Ended)
        End(actions, true);
    return actions;
}

SessionActions SessionStateMachine::Stopped()
{
    return ReceiveFailed();
}

void SessionStateMachine::End(SessionActions& actions, bool lost)
{
    if (lost)
        actions.logLine = "Lost session with KorvelControl user " + LogSafe(userName) + " at " +
                          clientAddress;
    state = SessionState::Ended;
    actions.end = true;
    actions.write = false;
    actions.atOnce = false;
    actions.receive = SessionActions::Receive::None;
    actions.report.reset();
    // The write in flight, if any, still uses the front entry until it completes.
    if (outbox.size() > (writing ? 1u : 0u))
        outbox.erase(outbox.begin() + (writing ? 1 : 0), outbox.end());
    queuedBytes = 0;
    waitingMessage.reset();
}

} // namespace korvel
