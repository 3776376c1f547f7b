// kestravo-host as a Windows service: installed and removed by the host itself, and run by the
// service control manager with the host's own start and stop.
#pragma once

#include <string>

namespace kestravo_host {

// The name the service is installed under.
constexpr char kServiceName[] = "kestravo";

// The host's run as main gives it (argv[0], then the host's options).
using HostRun = int (*)(int argc, char** argv);

// Handles a command line that starts with --install-service, --uninstall-service or --service,
// and sets *code to the process's exit code (0 done; 1 refused by the system; 2 a usage error);
// false, with nothing done, for any other command line. --service is the command line the
// service control manager starts: it runs host with the options that follow, reports the
// service's states, and turns the manager's stop and shutdown into the host's stop request.
// Main thread, before anything else.
bool RunServiceCommand(int argc, char** argv, HostRun host, int* code);

}  // namespace kestravo_host
