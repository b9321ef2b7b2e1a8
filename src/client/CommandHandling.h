#pragma once

#include <cstddef>

class ClientServer;
class ClientSession;

// Handles one message an operator sent: the count bytes received into the
// session's buffer of ClientSession::BufferSize bytes. Returns the length of
// the reply it has written into that buffer, 0 when there is none.
std::size_t HandleMessage(ClientServer& server, ClientSession& session, char* buffer,
                          std::size_t count);
