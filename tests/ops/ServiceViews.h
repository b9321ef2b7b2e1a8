#pragma once

// What the hostile-input and audit-fault tests read of a running service:
// its status server's documents, promtool's verdict on the metrics, and
// korvelctl's table of an audit file.
#include "ServiceProcess.h"

#include <cstdint>
#include <string>

namespace korvel::service_views {

// Options attributes that turn the status server on at 127.0.0.2, apart from
// the operators' 127.0.0.1 listener that the harness looks for.
std::string StatusServerOptions();
// The port from the service's "Status server listening on" line; 0 if none.
std::uint16_t StatusServerPort(const ServiceProcess& service);
// The body of GET target ("" when there is no answer).
std::string StatusServerGet(std::uint16_t port, const std::string& target);

// promtool's complaints about a /metrics document: "" when it accepts it.
std::string PromtoolComplaints(const std::string& metrics);

// What `korvelctl audit FILE` writes to standard output.
std::string AuditTableOf(const std::string& file);

// Lines of the text that record the event.
int AuditRecords(const std::string& text, const std::string& event);

// True when a terminal would show the text as it is: valid UTF-8 with no
// control character but line feeds.
bool ShowsAsItIs(const std::string& text);

} // namespace korvel::service_views
