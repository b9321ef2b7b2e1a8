#pragma once

#include "client/OperatorProtocol.h"

#include <cstddef>

namespace korvel {

class ClientServer;
class ClientSession;

// The longest reply HandleMessage writes.
constexpr std::size_t MaxReplyLength = OperatorProtocol::LoginRefused.size();

// Handles one message an operator sent: the count bytes at message, read
// there and nowhere past them. Writes the reply, if any, to reply (room for
// MaxReplyLength bytes; it may be the message's own storage, which is read
// before it is overwritten) and returns its length, 0 when there is none.
std::size_t HandleMessage(ClientServer& server, ClientSession& session, const char* message,
                          std::size_t count, char* reply);

} // namespace korvel
