#pragma once

enum class StopSignals
{
    Handle, // SIGINT and SIGTERM request a stop (foreground mode)
    Ignore, // the caller turns signals into stop requests (service mode)
};

// The body of the service: banner, configuration, NVR workers, the client
// service and the I/O loop; returns 0 once a stop request or an error has
// ended the run and everything is torn down. A configuration error ends the
// process with status -1.
int RunService(StopSignals signals);

// Any thread: ends the I/O loop of the current (or next) run, so that the run
// closes every NVR connection and tears down.
void RequestStop();

// Any thread: true once a stop has been requested.
bool StopWasRequested();
