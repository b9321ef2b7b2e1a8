#pragma once

// Turning an NVR's host and port into addresses to try, on either platform.

#include "tlapi/Connection.h"

#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

namespace tlapi {

// The addresses getaddrinfo returned, freed with the list.
struct AddressList
{
    AddressList() = default;
    ~AddressList();
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;

    addrinfo* list = nullptr;
};

// A numeric address is taken at once. A host name goes through the system
// resolver, which has no deadline of its own: it runs on a helper thread that
// is abandoned when the deadline passes. Returns getaddrinfo's code (0: found;
// EAI_AGAIN when the deadline passed first).
int Resolve(const std::string& host, const std::string& service, Deadline deadline,
            AddressList& out);

} // namespace tlapi
