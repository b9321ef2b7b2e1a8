#pragma once

namespace korvel {

// The service's side of the service manager: its start, its control requests
// and its status reports. The platform's dispatcher calls these functions
// (ServiceCallbacks in platform/ServicePlatform.h).

// On a thread of its own: starts RunThread, which runs the service's work, and
// reports the service running. Returns at once; RunThread goes on.
void ServiceMain();

// On the dispatcher's thread, one control request at a time. A stop or
// shutdown request asks the run to stop and waits for RunThread.
void ServiceControlHandler(unsigned long control);

// On the dispatcher's thread, after EndServiceDispatcher: waits for RunThread
// and tells the service manager and the system log that the run ended by
// itself. Runs after ServiceMain has returned, so these come after its reports.
// A run that ended on a configuration error is not reported.
void ServiceRunEnded();

// On the dispatcher's thread, once the service has run: the process's exit
// status. 0 after a stop request; after a run that ended by itself,
// ConfigurationErrorStatus when its configuration was unusable, else
// EXIT_FAILURE.
int ServiceExitStatus();

} // namespace korvel
