// Load commands of the test host: many threads calling the exported functions at random, and the
// counts that tell afterwards what the library was left holding.
//
//   chaos SECONDS THREADS MAXCHILDREN SEED HELPER
//       THREADS threads call create, destroy, kill, restart, getpid and ismanaged at random for
//       SECONDS seconds, with at most MAXCHILDREN hpids handed out at once, and now and then
//       SIGKILL a child; some calls aim at a child whose exit was just reported. A quarter of
//       the children are helper children in mode flaky: one run in two aborts at a random
//       moment, until the file "calm" exists in the working directory, and logs it to the file
//       "crashes" there. HELPER is the helper child's path in hex, as the host's other string
//       arguments. Answers "ret 0" and key=value figures: calls and results per kind, crashes
//       injected, messages received per type, the slowest call per kind (its wait for the
//       global lock included), "limbo" (the hpids whose destroy or kill returned 3) and
//       "unexpected" (results that no interleaving allows), the first of them in "first".
//   fds      -> ret 0 fds=N           the open descriptors of the host
//   census   -> ret 0 table=H:P,...   every hpid that KESTRAVO_GetOSPid knows, with its pid
//   exhaust EXE -> ret 0 free=H,...   creates with EXE until no hpid is left: the hpids handed
//                                     out were the free ones. EXE should fail to start, so
//                                     that nothing runs; the hpids stay taken.
#pragma once

#include <string>

namespace host_load {

bool IsLoadCommand(const std::string& verb);
// Runs a whole command line whose verb IsLoadCommand accepts; returns the result line.
std::string RunLoadCommand(const std::string& line);

}  // namespace host_load
