#pragma once

namespace korvel {

// The program's main: installs or removes the service, runs it in the
// foreground (-d), or hands the process to the service manager. Returns the
// process exit status.
int RunMain(int argc, char** argv);

// Hands the process to the service manager; 0 when the service ran to its
// end, otherwise the error code of the failure (reported as the table of the
// dispatcher start says).
unsigned long StartDispatcher();

} // namespace korvel
