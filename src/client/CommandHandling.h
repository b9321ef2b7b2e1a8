#pragma once

#include "client/OperatorProtocol.h"

#include <cstddef>
#include <string>

namespace korvel {

class ClientServer;
class ClientSession;

// The longest reply HandleMessage writes.
constexpr std::size_t MaxReplyLength = OperatorProtocol::LoginRefused.size();

// Handles one message an operator sent: the count bytes at message, read
// there and nowhere past them. Writes the reply, if any, to reply (room for
// MaxReplyLength bytes; it may be the message's own storage, which is read
// before it is overwritten) and returns its length, 0 when there is none.
// A failed LOGIN whose answer the throttle holds back has no reply yet: the
// session then has one due (ClientSession::RefuseLoginAt).
std::size_t HandleMessage(ClientServer& server, ClientSession& session, const char* message,
                          std::size_t count, char* reply);

// Answers a failed LOGIN for the name as sent: its log line, its audit record
// and "FAILURE", written to reply; returns the reply's length.
std::size_t RefuseLogin(ClientServer& server, ClientSession& session, const std::string& name,
                        char* reply);

} // namespace korvel
