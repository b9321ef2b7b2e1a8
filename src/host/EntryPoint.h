#pragma once

namespace korvel {

// The program's main: installs or removes the service, runs it in the
// foreground (-d), or hands the process to the service manager. Returns the
// process exit status.
int RunMain(int argc, char** argv);

} // namespace korvel
