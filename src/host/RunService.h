#pragma once

namespace korvel {

class StopRequest;

enum class StopSignals
{
    Handle, // SIGINT and SIGTERM request a stop (foreground mode)
    Ignore, // the caller turns signals into stop requests (service mode)
};

// The body of the service: banner, configuration, track cameras, NVR
// workers, the client service and the I/O loop. Returns once a stop request
// (see StopRequest) or an error has ended the run and everything is torn
// down; an error is logged as "Exception: <what>". Throws ConfigurationError
// when the configuration file cannot be used, once its lines are logged; the
// caller logs what() and ends the process with ConfigurationErrorStatus.
void RunService(StopSignals signals, StopRequest& stop);

// The process's exit status after a configuration error (255).
constexpr int ConfigurationErrorStatus = -1;

} // namespace korvel
