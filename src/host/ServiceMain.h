#pragma once

// The service's side of the service manager: its start, its control requests
// and its status reports. The platform's dispatcher calls both functions.

// Control codes understood by ServiceControlHandler. User-defined codes
// (128 to 255) are reported as unrecognised.
constexpr unsigned long ServiceControlStop = 1;
constexpr unsigned long ServiceControlInterrogate = 4;
constexpr unsigned long ServiceControlShutdown = 5;

// On a thread of its own: starts RunThread, which runs the service's work, and
// reports the service running. Returns at once; RunThread goes on.
void ServiceMain();

// On the dispatcher's thread, one control request at a time. A stop or
// shutdown request interrupts RunThread and waits for it.
void ServiceControlHandler(unsigned long control);

// On the dispatcher's thread, after EndServiceDispatcher: waits for RunThread
// and tells the service manager and the system log that the run ended by
// itself. Runs after ServiceMain has returned, so these come after its reports.
void ServiceRunEnded();
