#pragma once

// Requests to the status server of a service run as a process, which the
// tests put on 127.0.0.2, apart from the operators' 127.0.0.1 listener that
// the service launcher looks for.
#include "support/ServiceProcess.h"

#include <cstdint>
#include <string>

namespace korvel {

inline constexpr const char* StatusHost = "127.0.0.2";

// A connection to the status server, from the address when one is given;
// -1 when it cannot connect. Receives time out after 10 s.
int ConnectToStatus(std::uint16_t port, const std::string& from = "");

// Sends the request and reads the answer until the server closes.
std::string Exchange(std::uint16_t port, const std::string& request);

// The whole answer to GET target.
std::string Get(std::uint16_t port, const std::string& target, const std::string& headers = "");

std::string Body(const std::string& answer);
std::string StatusLine(const std::string& answer);

// The port from the service's "Status server listening on" line; 0 when none.
std::uint16_t StatusPortOf(const ServiceProcess& service);

} // namespace korvel
