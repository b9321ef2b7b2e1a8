#pragma once

namespace korvel {

class ReloadRequest;
class StopRequest;

// Who asks the run to stop or reload, and who hears how a reload went.
enum class RunMode
{
    // In the foreground: SIGINT and SIGTERM request a stop, SIGHUP (where
    // the platform has it) a reload; nobody but the log hears of a reload.
    Foreground,
    // Under the service manager: its dispatcher turns the manager's requests
    // into stop and reload requests, and the manager is told of each reload.
    Service,
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
// workers, the client service and the I/O loop, which also carries out the
// reload requests. Returns once a stop request or a failure has ended the
// run and everything is torn down.
RunEnd RunService(RunMode mode, StopRequest& stop, ReloadRequest& reload);

} // namespace korvel
