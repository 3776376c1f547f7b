// A host program for the end-to-end tests. It uses nothing of the library but its public header
// and libkestravo.so, as any host would.
//
// Commands on standard input, one per line; one result line per command on standard output:
//   init | uninit                        -> ret N
//   create EXE CMD [nullout]             -> ret N hpid=H   (H: the out value, 4294967295 if unset)
//   destroy H [RESERVED] | kill H | restart H | attach H PID   -> ret N
//   getpid H [nullout]                   -> ret N pid=P
//   ismanaged PID [nullout]              -> ret B hpid=H   (B: 1 true, 0 false)
//   setcb [call|null]                    -> ret 0   ("null": a null callback and user value)
//   exit                                 ends the process at once (_exit, no Uninit), no answer
//   chaos, fds, census, exhaust          the load commands of host_load.h
// Strings are "x" followed by hex bytes (so "x" is the empty string); "-" is a null pointer.
// Callback lines, written from the library's threads:
//   msg H TYPE t=MICROS user=U [pid=P cmd=HEX exe=HEX] [call=RET,PID]
// t is the steady clock (CLOCK_MONOTONIC) in microseconds; U is 1 when the user value came back;
// type 4 carries its AttachableProcInfo; "setcb call" makes the callback call KESTRAVO_GetOSPid
// for its hpid first, to show that exports may be called from inside the callback.
#include <kestravo.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "hex_arg.h"
#include "host_load.h"

namespace {

std::mutex g_out;
int g_userMarker;
bool g_callFromCallback = false;

void Emit(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out);
  fputs((line + "\n").c_str(), stdout);
  fflush(stdout);
}

int32_t OnMessage(uint32_t hpid, uint32_t type, void* data, void* user) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
  std::ostringstream line;
  line << "msg " << hpid << ' ' << type << " t=" << micros << " user=" << (user == &g_userMarker);
  if (type == MSG_ATTACHABLE && data) {
    auto* info = static_cast<AttachableProcInfo*>(data);
    line << " pid=" << info->pid << " cmd=" << hex_arg::Encode(info->cmdLine) << " exe=" << hex_arg::Encode(info->exePath);
  }
  if (g_callFromCallback) {
    uint32_t pid = 0;
    int32_t ret = KESTRAVO_GetOSPid(hpid, &pid);
    line << " call=" << ret << ',' << pid;
  }
  Emit(line.str());
  return 0;
}

std::string Run(const std::string& command) {
  std::istringstream in(command);
  std::string verb, a, b, c;
  in >> verb >> a >> b >> c;
  std::ostringstream out;
  auto u32 = [](const std::string& s) { return static_cast<uint32_t>(std::stoul(s)); };
  if (host_load::IsLoadCommand(verb)) return host_load::RunLoadCommand(command);
  if (verb == "init") {
    out << "ret " << KESTRAVO_Init();
  } else if (verb == "uninit") {
    out << "ret " << KESTRAVO_Uninit();
  } else if (verb == "create") {
    std::string exe, cmd;
    bool hasExe = hex_arg::Decode(a, &exe), hasCmd = hex_arg::Decode(b, &cmd);
    uint32_t hpid = 0xFFFFFFFFu;
    int32_t ret = KESTRAVO_CreateProcess(hasExe ? exe.c_str() : nullptr,
                                         hasCmd ? cmd.c_str() : nullptr,
                                         c == "nullout" ? nullptr : &hpid, 42);
    out << "ret " << ret << " hpid=" << hpid;
  } else if (verb == "destroy") {
    out << "ret " << KESTRAVO_DestroyProcess(u32(a), b.empty() ? 0 : u32(b));
  } else if (verb == "kill") {
    out << "ret " << KESTRAVO_KillProcess(u32(a));
  } else if (verb == "restart") {
    out << "ret " << KESTRAVO_RestartProcess(u32(a));
  } else if (verb == "attach") {
    out << "ret " << KESTRAVO_Attach(u32(a), u32(b));
  } else if (verb == "getpid") {
    uint32_t pid = 0;
    out << "ret " << KESTRAVO_GetOSPid(u32(a), b == "nullout" ? nullptr : &pid) << " pid=" << pid;
  } else if (verb == "ismanaged") {
    uint32_t hpid = 0xFFFFFFFFu;
    out << "ret " << KESTRAVO_IsManaged(u32(a), b == "nullout" ? nullptr : &hpid)
        << " hpid=" << hpid;
  } else if (verb == "setcb") {
    g_callFromCallback = a == "call";
    out << "ret "
        << (a == "null" ? KESTRAVO_SetMsgCallBack(nullptr, nullptr)
                        : KESTRAVO_SetMsgCallBack(OnMessage, &g_userMarker));
  } else if (verb == "exit") {
    _exit(0);
  } else {
    out << "error unknown command";
  }
  return out.str();
}

// "loop EXE CMD KEEP": answers "ret 0", then creates children without end, each with CMD
// followed by its number and a blank as its command line, and destroys the oldest once more than
// KEEP exist. It never returns: the tests kill the host at random moments of it.
void Loop(const std::string& command) {
  std::istringstream in(command);
  std::string verb, exeArg, cmdArg, exe, cmd;
  size_t keep = 0;
  in >> verb >> exeArg >> cmdArg >> keep;
  if (!hex_arg::Decode(exeArg, &exe) || !hex_arg::Decode(cmdArg, &cmd)) return Emit("error loop needs EXE and CMD");
  Emit("ret 0");
  std::deque<uint32_t> live;
  for (unsigned long n = 0;; ++n) {
    uint32_t hpid = 0;
    std::string line = cmd + std::to_string(n) + " ";
    if (KESTRAVO_CreateProcess(exe.c_str(), line.c_str(), &hpid, 0) == 0) live.push_back(hpid);
    if (live.size() <= keep) continue;
    // Only a started child is in the table and can be destroyed.
    uint32_t pid = 0;
    while (KESTRAVO_GetOSPid(live.front(), &pid) != 0) usleep(1000);
    KESTRAVO_DestroyProcess(live.front(), 0);
    live.pop_front();
  }
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.rfind("loop ", 0) == 0) {
      Loop(line);
      continue;
    }
    std::string result;
    try {
      result = Run(line);
    } catch (const std::exception& e) {  // a malformed number: the test's mistake
      result = std::string("error ") + e.what();
    }
    Emit(result);
  }
  return 0;
}
