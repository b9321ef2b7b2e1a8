#pragma once

namespace korvel {

class StopRequest;

enum class StopSignals
{
    Handle, // SIGINT and SIGTERM request a stop (foreground mode)
    Ignore, // the caller turns signals into stop requests (service mode)
};

// How a run ended.
enum class RunEnd
{
    // Its I/O loop returned: a stop request (see StopRequest), or nothing left to run.
    LoopEnded,
    // On what it could not go on without, logged as "Exception: <what>".
    Failed,
    // After the loader's lines and UnusableConfigurationText.
    UnusableConfiguration,
};

// The body of the service: banner, configuration, track cameras, NVR
// workers, the client service and the I/O loop. Returns once a stop request
// or a failure has ended the run and everything is torn down.
RunEnd RunService(StopSignals signals, StopRequest& stop);

} // namespace korvel
