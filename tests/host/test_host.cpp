// A host program for the end-to-end tests. It uses nothing of the library but its public header
// and libkestravo.so, as any host would.
//
// Commands on standard input, one per line; one result line per command on standard output:
//   init | uninit                        -> ret N
//   create EXE CMD [nullout]             -> ret N hpid=H   (H: the out value, 4294967295 if unset)
//   destroy H [RESERVED] | kill H | restart H | attach H PID   -> ret N
//   getpid H [nullout]                   -> ret N pid=P
//   ismanaged PID [nullout]              -> ret B hpid=H   (B: 1 true, 0 false)
//   setcb [null | do TYPE CMDS]          -> ret 0   ("null": a null callback and user value)
//   hogfds N | hogfds release            -> ret 0   (holds every free descriptor but N; gives them back)
//   sleep MS                             -> ret 0   (for a callback that holds up its thread)
//   exit                                 ends the process at once (_exit, no Uninit), no answer
//   chaos, fds, census, exhaust          the load commands of host_load.h
// Strings are "x" followed by hex bytes (so "x" is the empty string); "-" is a null pointer.
// Callback lines, written from the library's threads:
//   msg H TYPE t=MICROS user=U [pid=P cmd=HEX exe=HEX] [call=RET,...]
// t is the steady clock (CLOCK_MONOTONIC) in microseconds; U is 1 when the user value came back;
// type 4 carries its AttachableProcInfo. "setcb do TYPE CMDS" makes the callback run the commands
// (';' between them, '$' for its hpid) on messages of that type, and list their results in call=.
// "await5 CMD" repeats CMD until it answers 5 (for up to 10 s); an action that has one, or a
// sleep, first writes "msg H TYPE ... calling=1", so that a test knows the callback is under way.
#include <kestravo.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "hex_arg.h"
#include "host_load.h"

namespace {

std::mutex g_out;
int g_userMarker;
std::mutex g_actionsLock;
std::map<uint32_t, std::string> g_actions;  // message type -> commands; guarded by g_actionsLock

std::string Run(const std::string& command);

void Emit(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out);
  fputs((line + "\n").c_str(), stdout);
  fflush(stdout);
}

std::string RetOf(const std::string& reply) {
  std::istringstream words(reply);
  std::string ret, value;
  words >> ret >> value;
  return value;
}

// The results of an action's commands, joined by ','.
std::string RunAction(std::string action, uint32_t hpid) {
  for (size_t at; (at = action.find('$')) != std::string::npos;) action.replace(at, 1, std::to_string(hpid));
  std::string results;
  std::istringstream list(action);
  for (std::string command; std::getline(list, command, ';');) {
    bool await5 = command.rfind("await5 ", 0) == 0;
    if (await5) command.erase(0, 7);
    std::string ret = RetOf(Run(command));
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         await5 && ret != "5" && std::chrono::steady_clock::now() < end; ret = RetOf(Run(command))) {
      usleep(1000);
    }
    results += (results.empty() ? "" : ",") + ret;
  }
  return results;
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
  std::string action;
  {
    std::lock_guard<std::mutex> lock(g_actionsLock);
    auto it = g_actions.find(type);
    if (it != g_actions.end()) action = it->second;
  }
  if (action.find("await5 ") != std::string::npos || action.find("sleep ") != std::string::npos)
    Emit(line.str() + " calling=1");
  if (!action.empty()) line << " call=" << RunAction(action, hpid);
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
    if (a == "do") {
      std::lock_guard<std::mutex> lock(g_actionsLock);
      g_actions[u32(b)] = command.substr(command.find(b, command.find(" do ") + 4) + b.size() + 1);
    }
    out << "ret "
        << (a == "null" ? KESTRAVO_SetMsgCallBack(nullptr, nullptr)
                        : KESTRAVO_SetMsgCallBack(OnMessage, &g_userMarker));
  } else if (verb == "sleep") {
    usleep(static_cast<useconds_t>(std::stoul(a)) * 1000);
    out << "ret 0";
  } else if (verb == "hogfds") {
    static std::vector<int> held;
    if (a == "release") {
      for (int fd : held) close(fd);
      held.clear();
    } else {
      for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
      for (size_t n = std::stoul(a); n > 0 && !held.empty(); --n) {
        close(held.back());
        held.pop_back();
      }
    }
    out << "ret 0";
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
