// The host's commands that only Linux has: load, the counts that tell what the library was left
// holding, and descriptor exhaustion.
//
//   chaos SECONDS THREADS MAXCHILDREN SEED HELPER
//       THREADS threads call create, destroy, kill, restart, getpid and ismanaged at random for
//       SECONDS seconds, with at most MAXCHILDREN hpids handed out at once, SIGKILL a child now
//       and then, and aim some calls at a child whose exit was just reported. Answers "ret 0"
//       with the results per kind (create_0=N ...), msgN (messages per type), sigkills, "limbo"
//       (the hpids whose stop returned 3) and "unexpected" (results no interleaving allows; the
//       first in "first").
//   census             -> ret 0 table=H:P,...    every hpid that KESTRAVO_GetOSPid knows
//   exhaust EXE        -> ret 0 free=H,...       creates with EXE (which should fail to start)
//                                                until no hpid is left: the ones that were free
//   hogfds N | release -> ret 0                  holds every free descriptor but N; gives them back
//   loop EXE CMD KEEP  -> ret 0, then creates children without end (CMD, their number, a blank),
//                         destroying the oldest beyond KEEP; never returns
#pragma once

#include <string>

namespace host_load {

bool IsLoadCommand(const std::string& verb);
std::string RunLoadCommand(const std::string& line);

}  // namespace host_load
